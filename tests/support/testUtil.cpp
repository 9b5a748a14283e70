// Helpers shared by the tests; see testUtil.h.
#include "tests/support/testUtil.h"

#include <algorithm>
#include <stdexcept>

#include "lib/net/net.h"

namespace testutil {

salvorMsgHeader
MakeHeader(uint32_t type, int64_t timestamp, uint32_t dumpID)
{
   salvorMsgHeader hdr{};
   hdr.magic = SALVOR_MSG_MAGIC;
   hdr.type = type;
   hdr.timestamp = timestamp;
   hdr.dumpID = dumpID;
   return hdr;
}

std::vector<uint8_t>
Encode(const salvorMsgHeader &hdr, const std::string &payload)
{
   std::vector<uint8_t> bytes(SALVOR_HEADER_SIZE + payload.size());
   SalvorEncodeHeader(&hdr, bytes.data());
   std::copy(payload.begin(), payload.end(), bytes.begin() + SALVOR_HEADER_SIZE);
   return bytes;
}

namespace {

uint32_t
ParseIp(const char *ip)
{
   uint32_t addr = 0;
   if (!Net_ParseIPv4(ip, &addr)) {
      throw std::runtime_error(std::string("not an IPv4 address: ") + ip);
   }
   return addr;
}

}  // namespace

SocketsStarted::SocketsStarted()
{
   uint16_t granted = 0;
   started_ = Net_Startup(0x0202, &granted) == 0;
}

SocketsStarted::~SocketsStarted()
{
   if (started_) {
      Net_Cleanup();
   }
}

UdpPeer::UdpPeer(const char *bindIp)
{
   fd_ = Net_UdpSocket();
   NetAddr local{};
   if (fd_ < 0 || Net_Bind(fd_, ParseIp(bindIp), 0) != 0 || Net_LocalAddr(fd_, &local) != 0) {
      throw std::runtime_error("cannot bind a UDP peer");
   }
   port_ = local.port;
}

UdpPeer::~UdpPeer()
{
   Net_Close(fd_);
}

void
UdpPeer::SendTo(const std::vector<uint8_t> &bytes, uint16_t port, const char *ip)
{
   NetAddr to{ParseIp(ip), port};
   Net_SendTo(fd_, bytes.data(), bytes.size(), &to);
}

std::vector<uint8_t>
UdpPeer::Receive(int timeoutMs)
{
   if (Net_WaitReadable(fd_, timeoutMs) <= 0) {
      return {};
   }
   std::vector<uint8_t> buf(65536);
   size_t full = 0;
   long n = Net_RecvFrom(fd_, buf.data(), buf.size(), nullptr, &full, true);
   buf.resize(n > 0 ? (size_t)n : 0);
   return buf;
}

bool
UdpPeer::Request(const std::vector<uint8_t> &bytes, uint16_t port, salvorMsgHeader *reply,
                 int timeoutMs)
{
   SendTo(bytes, port);
   std::vector<uint8_t> got = Receive(timeoutMs);
   if (got.size() != SALVOR_HEADER_SIZE) {
      return false;
   }
   SalvorDecodeHeader(got.data(), reply);
   return true;
}

bool
UdpPeer::RequestResent(const std::vector<uint8_t> &bytes, uint16_t port, salvorMsgHeader *reply,
                       int tries, int timeoutMs)
{
   for (int attempt = 0; attempt < tries; attempt++) {
      if (Request(bytes, port, reply, timeoutMs)) {
         return true;
      }
   }
   return false;
}

uint16_t
FreeUdpPort()
{
   // Free on every local address, as the collector binds them all.
   UdpPeer probe("0.0.0.0");
   return probe.Port();
}

}  // namespace testutil
