// Helpers shared by the tests; see testUtil.h.
#include "tests/support/testUtil.h"

#include <algorithm>
#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/log/log.h"

namespace testutil {

LogCapture::LogCapture() : file_(dir_ / "test.log")
{
   // Bare lines, so that tests can look for messages as they were logged.
   Log_Exit();
   LogParams params;
   Log_ParamsDefaults(&params);
   params.fileName = file_.c_str();
   params.useTimeStamps = false;
   params.useThreadName = false;
   params.useLevelDesignator = false;
   params.throttleBytesPerSec = LOG_NO_BPS_LIMIT;
   Log_Init(&params);
}

LogCapture::~LogCapture()
{
   Log_Exit();
}

std::string
LogCapture::text() const
{
   return ReadFile(file_);
}

bool
LogCapture::contains(const std::string &needle) const
{
   return text().find(needle) != std::string::npos;
}

size_t
LogCapture::count(const std::string &needle) const
{
   std::string all = text();
   size_t n = 0;
   for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
      n++;
   }
   return n;
}

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

sockaddr_in
Address(const char *ip, uint16_t port)
{
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_port = htons(port);
   inet_pton(AF_INET, ip, &addr.sin_addr);
   return addr;
}

}  // namespace

UdpPeer::UdpPeer(const char *bindIp)
{
   fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
   sockaddr_in addr = Address(bindIp, 0);
   if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("cannot bind a UDP peer");
   }
   socklen_t len = sizeof addr;
   getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
   port_ = ntohs(addr.sin_port);
}

UdpPeer::~UdpPeer()
{
   close(fd_);
}

void
UdpPeer::sendTo(const std::vector<uint8_t> &bytes, uint16_t port, const char *ip)
{
   sockaddr_in addr = Address(ip, port);
   sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
}

std::vector<uint8_t>
UdpPeer::receive(int timeoutMs)
{
   pollfd pfd{fd_, POLLIN, 0};
   if (poll(&pfd, 1, timeoutMs) <= 0) {
      return {};
   }
   std::vector<uint8_t> buf(65536);
   ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
   buf.resize(n > 0 ? (size_t)n : 0);
   return buf;
}

bool
UdpPeer::request(const std::vector<uint8_t> &bytes, uint16_t port, salvorMsgHeader *reply,
                 int timeoutMs)
{
   sendTo(bytes, port);
   std::vector<uint8_t> got = receive(timeoutMs);
   if (got.size() != SALVOR_HEADER_SIZE) {
      return false;
   }
   SalvorDecodeHeader(got.data(), reply);
   return true;
}

uint16_t
FreeUdpPort()
{
   UdpPeer probe("127.0.0.1");
   return probe.port();
}

}  // namespace testutil
