// The service manager's end of NOTIFY_SOCKET, for the tests that run the
// collector as a service on Linux: a datagram socket bound to a path,
// whose state reports the test reads, or leaves unread.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace testutil {

class NotifySocket {
public:
   explicit NotifySocket(const std::string &path) : path_(path)
   {
      fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
      EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << path;
   }
   ~NotifySocket() { close(fd_); }
   NotifySocket(const NotifySocket &) = delete;
   NotifySocket &operator=(const NotifySocket &) = delete;
   const std::string &Path() const { return path_; }

   // The next report, or "" when none came within the limit.
   std::string Next(int timeoutMs = 10000)
   {
      timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char buf[4096];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      return n > 0 ? std::string(buf, (size_t)n) : "";
   }

private:
   std::string path_;
   int fd_;
};

}  // namespace testutil
