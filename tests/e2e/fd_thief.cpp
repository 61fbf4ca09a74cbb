// A test tool that plays a local attacker of the same user: it starts a
// program as its child, gives up every capability of its own, then tries to
// copy each of the child's descriptors with pidfd_getfd. It prints "took a
// socket" when it got one, "refused" when every attempt was denied.
//   fd_thief DELAY_MS PROGRAM [ARG...]
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: fd_thief DELAY_MS PROGRAM [ARG...]\n");
    return 2;
  }
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  // From here on the thief holds nothing the child was given.
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, none) != 0) return 2;
  if (socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) >= 0) {
    std::puts("thief can open a raw socket itself");
    return 2;
  }
  usleep(static_cast<useconds_t>(std::atoi(argv[1])) * 1000);

  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  bool tookSocket = false;
  int denied = 0;
  for (int fd = 0; fd < 64 && pidfd >= 0; ++fd) {
    const int copy = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
    if (copy < 0) {
      denied += errno == EPERM;
      continue;
    }
    struct stat info {};
    tookSocket |= fstat(copy, &info) == 0 && S_ISSOCK(info.st_mode);
    close(copy);
  }
  std::puts(tookSocket ? "took a socket" : denied > 0 ? "refused" : "nothing to take");
  int status = 0;
  waitpid(child, &status, 0);
  return 0;
}
