/* The sleep functions of the C library, replaced so that waits advance the
 * virtual clock instead of the real one.  Written in C: the C library's
 * declarations carry exception specifications that a C++ definition would
 * have to repeat exactly. */
#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

int vcam_advance_clock(unsigned long long us);

/* Sleeps for real as well when the scene asks for it. */
static void pass(unsigned long long us) {
  if (!vcam_advance_clock(us)) return;
  struct timespec ts;
  ts.tv_sec = (time_t)(us / 1000000ULL);
  ts.tv_nsec = (long)(us % 1000000ULL) * 1000L;
  while (syscall(SYS_nanosleep, &ts, &ts) != 0 && errno == EINTR) {
  }
}

int usleep(useconds_t us) {
  pass(us);
  return 0;
}

unsigned int sleep(unsigned int seconds) {
  pass((unsigned long long)seconds * 1000000ULL);
  return 0;
}

int nanosleep(const struct timespec* req, struct timespec* rem) {
  if (!req || req->tv_nsec < 0 || req->tv_nsec >= 1000000000L || req->tv_sec < 0) {
    errno = EINVAL;
    return -1;
  }
  pass((unsigned long long)req->tv_sec * 1000000ULL + (unsigned long long)req->tv_nsec / 1000ULL);
  if (rem) {
    rem->tv_sec = 0;
    rem->tv_nsec = 0;
  }
  return 0;
}
