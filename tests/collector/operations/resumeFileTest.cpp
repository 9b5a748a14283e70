// The resume state file's records: read back as written, a torn tail told
// apart from damage in the middle.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "collector/operations/salvorResumeFile.h"

namespace {

struct StateBytes {
   std::vector<uint8_t> bytes;
   std::vector<size_t> starts;  // of each record

   void Add(size_t (*encode)(uint8_t *))
   {
      uint8_t record[SALVOR_RESUME_MAX_RECORD];
      Put(record, encode(record));
   }
   void Put(const uint8_t *record, size_t n)
   {
      starts.push_back(bytes.size());
      bytes.insert(bytes.end(), record, record + n);
   }
};

SalvorResumeDump
DumpIn(int slot)
{
   SalvorResumeDump d{};
   d.slot = slot;
   d.host = NetIp(0x7F000002u);
   d.timestamp = -42;
   d.startedWallUsec = 1765000000000000;
   d.id = FileId{0x1122334455667788ull, 99};
   d.resumed = 3;
   d.sealed = true;
   std::memset(d.keyId, 0xAB, sizeof d.keyId);
   std::memset(d.token, 0xCD, sizeof d.token);
   std::strcpy(d.keyName, "web-01");
   std::strcpy(d.name, "zdump_127.0.0.2-2026-12-08-23_02-0");
   return d;
}

// Two dumps begun, ranges of both, the second ended.
StateBytes
SampleState()
{
   StateBytes s;
   uint8_t r[SALVOR_RESUME_MAX_RECORD];
   s.Add(SalvorResumeEncodeHeader);
   s.Put(r, SalvorResumeEncodeBegun(DumpIn(5), r));
   s.Put(r, SalvorResumeEncodeAcked(5, 0, 1000, r));
   s.Put(r, SalvorResumeEncodeBegun(DumpIn(1023), r));
   s.Put(r, SalvorResumeEncodeAcked(5, 3000, 4000, r));
   s.Put(r, SalvorResumeEncodeAcked(1023, 0, 10, r));
   s.Put(r, SalvorResumeEncodeEnded(1023, r));
   s.Put(r, SalvorResumeEncodeAcked(5, 1000, 2000, r));
   return s;
}

TEST(ResumeFile, RecordsReadBackAsWritten)
{
   StateBytes s = SampleState();
   SalvorResumeRead read = SalvorResumeParse(s.bytes.data(), s.bytes.size());
   ASSERT_EQ(read.result, SALVOR_RESUME_READ_WHOLE);
   EXPECT_EQ(read.goodBytes, s.bytes.size());
   const SalvorResumeLive &live = read.slots[5];
   ASSERT_TRUE(live.live);
   EXPECT_FALSE(read.slots[1023].live) << "ended";
   SalvorResumeDump want = DumpIn(5);
   EXPECT_EQ(std::memcmp(live.dump.host.bytes, want.host.bytes, 16), 0);
   EXPECT_EQ(live.dump.timestamp, -42);
   EXPECT_EQ(live.dump.startedWallUsec, want.startedWallUsec);
   EXPECT_EQ(live.dump.id.device, want.id.device);
   EXPECT_EQ(live.dump.id.inode, 99u);
   EXPECT_EQ(live.dump.resumed, 3u);
   EXPECT_TRUE(live.dump.sealed);
   EXPECT_EQ(std::memcmp(live.dump.keyId, want.keyId, sizeof want.keyId), 0);
   EXPECT_EQ(std::memcmp(live.dump.token, want.token, sizeof want.token), 0);
   EXPECT_STREQ(live.dump.keyName, "web-01");
   EXPECT_STREQ(live.dump.name, want.name);
   ASSERT_EQ(live.acked.Ranges().size(), 2u);
   EXPECT_EQ(live.acked.Ranges()[0].end, 2000u);
   EXPECT_EQ(live.acked.Ranges()[1].start, 3000u);
}

TEST(ResumeFile, ATornTailIsDroppedAndTheRestCounts)
{
   StateBytes s = SampleState();
   size_t last = s.starts.back();
   for (size_t cut : {last + 1, last + 8, s.bytes.size() - 1}) {
      SalvorResumeRead read = SalvorResumeParse(s.bytes.data(), cut);
      EXPECT_EQ(read.result, SALVOR_RESUME_READ_TORN) << cut;
      EXPECT_EQ(read.goodBytes, last);
      ASSERT_TRUE(read.slots[5].live);
      EXPECT_EQ(read.slots[5].acked.Ranges()[0].end, 1000u) << "the cut range is not counted";
   }
   // A header cut short: a file that was being made.
   EXPECT_EQ(SalvorResumeParse(s.bytes.data(), 5).result, SALVOR_RESUME_READ_TORN);
   EXPECT_EQ(SalvorResumeParse(s.bytes.data(), 0).result, SALVOR_RESUME_READ_WHOLE);
   // The last record damaged looks the same: nothing after it shows otherwise.
   std::vector<uint8_t> flipped = s.bytes;
   flipped.back() ^= 1;
   EXPECT_EQ(SalvorResumeParse(flipped.data(), flipped.size()).result,
             SALVOR_RESUME_READ_TORN);
}

TEST(ResumeFile, DamageInTheMiddleOrABadHeaderIsTold)
{
   StateBytes s = SampleState();
   for (size_t record = 0; record + 1 < s.starts.size(); record++) {
      for (size_t at : {s.starts[record], s.starts[record] + 4, s.starts[record] + 9}) {
         std::vector<uint8_t> bytes = s.bytes;
         bytes[at] ^= 0x10;
         SalvorResumeRead read = SalvorResumeParse(bytes.data(), bytes.size());
         EXPECT_EQ(read.result, SALVOR_RESUME_READ_DAMAGED) << "record " << record << " byte " << at;
         EXPECT_EQ(read.goodBytes, s.starts[record]);
      }
   }
   // Records that check but say what cannot be: a slot past the table, a
   // second header, a file that does not begin with one.
   uint8_t r[SALVOR_RESUME_MAX_RECORD];
   StateBytes odd;
   odd.Add(SalvorResumeEncodeHeader);
   odd.Put(r, SalvorResumeEncodeAcked(SALVOR_RESUME_SLOTS, 0, 1, r));
   odd.Add(SalvorResumeEncodeHeader);
   EXPECT_EQ(SalvorResumeParse(odd.bytes.data(), odd.bytes.size()).result,
             SALVOR_RESUME_READ_DAMAGED);
   StateBytes headless;
   headless.Put(r, SalvorResumeEncodeBegun(DumpIn(1), r));
   EXPECT_EQ(SalvorResumeParse(headless.bytes.data(), headless.bytes.size()).result,
             SALVOR_RESUME_READ_DAMAGED);
}

TEST(ResumeFile, Crc32IsTheUsualOne)
{
   EXPECT_EQ(SalvorCrc32("123456789", 9), 0xCBF43926u);
   EXPECT_EQ(SalvorCrc32("", 0), 0u);
}

}  // namespace
