// The bare Winsock reply loop that salvor.exe is measured against under
// Wine (bench/winThroughput.sh): one UDP socket, select with a 5-second
// timeout, recvfrom, the request's header sent back with status 0 (and
// slot 0 for an init), as the collector's loop does but without its slot
// table, files or log. Windows only.
//
// usage: bench-winsock-loop PORT
// Ends after 30 seconds without a datagram.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <winsock2.h>

namespace {

constexpr int HEADER_SIZE = 48;
constexpr int OFF_TYPE = 28;
constexpr int OFF_STATUS = 40;
constexpr int OFF_ASSIGNED = 44;
constexpr int IDLE_LIMIT = 6;  // waits of 5 seconds

}  // namespace

int
main(int argc, char **argv)
{
   if (argc != 2) {
      std::fprintf(stderr, "usage: bench-winsock-loop PORT\n");
      return 2;
   }
   WSADATA data;
   if (WSAStartup(MAKEWORD(2, 0), &data) != 0) {
      return 1;
   }
   SOCKET sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_port = htons((u_short)std::atoi(argv[1]));
   if (sock == INVALID_SOCKET || bind(sock, (sockaddr *)&addr, sizeof addr) != 0) {
      std::fprintf(stderr, "cannot bind port %s: %d\n", argv[1], WSAGetLastError());
      return 1;
   }
   char buf[1600];
   char reply[HEADER_SIZE];
   int idle = 0;
   while (idle < IDLE_LIMIT) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(sock, &readable);
      timeval timeout{5, 0};
      int n = select((int)sock + 1, &readable, nullptr, nullptr, &timeout);
      if (n <= 0) {
         idle += n == 0 ? 1 : IDLE_LIMIT;
         continue;
      }
      idle = 0;
      sockaddr_in from{};
      int fromLen = sizeof from;
      int len = recvfrom(sock, buf, sizeof buf, 0, (sockaddr *)&from, &fromLen);
      if (len < HEADER_SIZE) {
         continue;
      }
      std::memcpy(reply, buf, HEADER_SIZE);
      uint32_t type, zero = 0;
      std::memcpy(&type, buf + OFF_TYPE, sizeof type);
      std::memcpy(reply + OFF_STATUS, &zero, sizeof zero);
      if (type == 1) {
         std::memcpy(reply + OFF_ASSIGNED, &zero, sizeof zero);
      }
      sendto(sock, reply, HEADER_SIZE, 0, (sockaddr *)&from, fromLen);
   }
   WSACleanup();
   return 0;
}
