// The life of a dump, as the receive path announces it.
//
// The receive path knows nothing of what is done with a dump besides
// storing it: it announces that a dump began, that a data message of it
// was written (in whole or in part) or refused, and that it ended, and
// asks before a dump begins and before each write whether there is room.
// Whoever wants to know subscribes once at start, before the loop runs:
//
//    static const SalvorDumpSubscriber journal{.begun = JournalBegun, .ended = JournalEnded};
//    SalvorSubscribeDumpEvents(&journal);
//
// Any member may be null. Subscribers are called in the order they
// subscribed, on the loop's thread, while the slot still holds the dump
// (at an end its file is already closed, or removed, and the slot is
// emptied right after). Announcing allocates nothing and makes no system
// call: it is a loop over a few pointers, as data events come with every
// data message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/net/net.h"

constexpr int SALVOR_MAX_DUMP_SUBSCRIBERS = 8;

// A dump was given a slot and its new file.
struct SalvorDumpBegun {
   int slot;
   NetIp host;
   int64_t timestamp;  // the client's time stamp of the dump
   const char *path;   // the file's, valid during the call
   const char *key;    // the name of its key when sealed; null when plain
   // A dump put back in its slot at a start: the restarts it survived
   // (0 for a new dump), and when it began (wall clock, microseconds).
   uint32_t resumed = 0;
   int64_t startedWallUsec = 0;
};

// A data message of a dump was written at `offset`, or refused.
struct SalvorDumpData {
   int slot;
   uint64_t offset;
   size_t length;  // the payload's
   bool refused;   // not written at all: `why`, or when null `error`, says why
   size_t written; // of length; the rest failed with `error`
   int error;      // platform error
   const char *why;  // static text
};

// How the receive path saw a dump end.
enum SalvorDumpEnd : int {
   SALVOR_END_DONE,     // its done came and its file is whole
   SALVOR_END_LOST,     // its done came, but its file had lost its name
   SALVOR_END_IDLE,     // its host fell silent and the sweep ended it
   SALVOR_END_STOPPED,  // the collector stopped with it in progress
   SALVOR_END_KEY_REVOKED,  // its key was removed; its file stays, unfinished
};

// A dump ended; its slot is emptied once every subscriber has been told.
struct SalvorDumpEnded {
   int slot;
   NetIp host;
   int64_t timestamp;
   const char *path;
   const char *key;     // as in SalvorDumpBegun
   SalvorDumpEnd how;
   const char *reason;  // static text for LOST, STOPPED and KEY_REVOKED; null otherwise
   bool fileKept;       // the file is still there
   int64_t size;        // the file's size at its end; -1 when not known
   bool sparse;         // DONE: its sender left its holes out on purpose
   uint64_t idleSec;    // IDLE: how long its host was silent
};

struct SalvorDumpSubscriber {
   void (*begun)(const SalvorDumpBegun &event) = nullptr;
   void (*data)(const SalvorDumpData &event) = nullptr;
   void (*ended)(const SalvorDumpEnded &event) = nullptr;
   // Whether a new dump of `host` may begin; logs why not.
   bool (*mayBegin)(const NetIp &host) = nullptr;
   // Whether `bytes` more of `host`'s dump may be written; logs why not.
   bool (*mayWrite)(const NetIp &host, size_t bytes) = nullptr;
   // Whether the dumps in progress at a stop are kept for the next start,
   // rather than ended.
   bool (*keepsAtStop)() = nullptr;
};

/*
 * Adds a subscriber (kept by address: it must outlive the loop).
 * Subscribing one twice changes nothing. False, with an error logged,
 * when the table is full.
 */
bool SalvorSubscribeDumpEvents(const SalvorDumpSubscriber *subscriber);
// Forgets every subscriber (tests).
void SalvorUnsubscribeAllDumpEvents();

void SalvorAnnounceBegun(const SalvorDumpBegun &event);
void SalvorAnnounceData(const SalvorDumpData &event);
void SalvorAnnounceEnded(const SalvorDumpEnded &event);
// True unless a subscriber says no.
bool SalvorDumpMayBegin(const NetIp &host);
bool SalvorDumpMayWrite(const NetIp &host, size_t bytes);
// True when a subscriber keeps the dumps in progress at a stop.
bool SalvorDumpsKeptAtStop();
