// Sealed datagrams on the collector's side: the keys in force, read from
// the keysFile at start and again whenever the file's bytes change;
// opening each sealed datagram before it is handled, or refusing a plain
// one from outside allowPlainFrom; sealing each reply with the key its
// request came with; and the tokens that tie a sealed dump's messages to
// the init the collector answered.
//
// Without a keysFile nothing of this is active: datagrams are handled as
// they come, and a sealed one is only a datagram with a bad magic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/net/net.h"
#include "protocol/salvorKeys.h"
#include "protocol/salvorSeal.h"

constexpr size_t SALVOR_TOKEN_SIZE = 8;
// A sealed reply: a header and the framing.
constexpr size_t SALVOR_SEALED_REPLY_SIZE = SALVOR_HEADER_SIZE + SALVOR_SEAL_OVERHEAD;

// Who sent the datagram being handled, as its opening told.
struct SalvorSender {
   bool sealed;
   int key;  // index of its key for SalvorSealing_SealReply; -1 when plain
   uint8_t id[SALVOR_SEAL_ID_SIZE];
   const char *name;  // the key's; valid until the next reload
};

// Set for each datagram before it is handled; plain outside the loop.
extern SalvorSender salvorSender;
void SalvorSender_SetPlain();

// Whether a keysFile is configured and its keys are loaded.
bool SalvorSealing_Active();

// Whether a key of that identity is in force.
bool SalvorSealing_HasKey(const uint8_t *id);

/*
 * Loads the configured keysFile, if any. False, with *why, when it cannot
 * be loaded: the collector does not start.
 */
bool SalvorSealing_Start(std::string *why);
// Forgets every key (wiped).
void SalvorSealing_Stop();

/*
 * Looks at the keysFile again, at most once a second, and when its bytes
 * changed loads it in place of the keys in force; a file that fails to
 * load leaves them, and says why once. A removed key that `inUse` still
 * reports for a dump in progress stays known as revoked, so that the
 * dump's next datagram can be told to end it.
 */
void SalvorSealing_ReloadIfChanged(bool (*inUse)(const uint8_t *id));
// Forgets revoked keys that no dump in progress uses any more.
void SalvorSealing_ForgetRevoked(bool (*inUse)(const uint8_t *id));

enum SalvorScreenResult {
   SALVOR_SCREEN_PLAIN,    // a plain datagram that may be handled
   SALVOR_SCREEN_OPENED,   // opened into the plain buffer; salvorSender says by which key
   SALVOR_SCREEN_REVOKED,  // opened, by a key removed since its dump began
   SALVOR_SCREEN_BAD_SEAL,       // sealed, but does not open
   SALVOR_SCREEN_PLAIN_REFUSED,  // plain, from outside allowPlainFrom
};

/*
 * With sealing active: opens a sealed datagram into plain (room for
 * SALVOR_RECV_BUFFER_SIZE bytes; its length to *plainLen), or checks that
 * a plain one may be heard. Sets salvorSender. Logs and counts nothing.
 */
SalvorScreenResult SalvorSealing_Screen(const uint8_t *buf, size_t length, const NetIp &client,
                                        uint8_t *plain, size_t *plainLen);
// Counts a datagram that the screen refused, with a line within the host's share.
void SalvorSealing_ReportDrop(SalvorScreenResult result, size_t length, const NetIp &client);

/*
 * Seals a 48-byte reply with key `key` (a SalvorSender::key) into out (at
 * least SALVOR_SEALED_REPLY_SIZE bytes); returns its length, or 0.
 */
size_t SalvorSealing_SealReply(int key, const uint8_t *reply, uint8_t *out);

// A fresh token for a sealed dump.
void SalvorSealing_NewToken(uint8_t token[SALVOR_TOKEN_SIZE]);
