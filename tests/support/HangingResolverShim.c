/* A name server that never answers, for a whole program: loaded with
 * LD_PRELOAD, its getaddrinfo never returns for a host name (numeric hosts and
 * numeric-only requests go to the system at once). When QVM_RESOLVER_MARK
 * names a file, each hanging lookup appends a line to it, so that a test can
 * see the program waiting on the name server. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef int (*lookup_fn)(const char*, const char*, const struct addrinfo*, struct addrinfo**);

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                struct addrinfo** result) {
    lookup_fn system = (lookup_fn)dlsym(RTLD_NEXT, "getaddrinfo");
    struct addrinfo numeric;
    memset(&numeric, 0, sizeof numeric);
    if (hints != NULL) {
        numeric = *hints;
    }
    numeric.ai_flags |= AI_NUMERICHOST;
    const int rc = system(node, service, &numeric, result);
    if (rc == 0 || node == NULL || (hints != NULL && (hints->ai_flags & AI_NUMERICHOST) != 0)) {
        return rc;
    }
    const char* mark = getenv("QVM_RESOLVER_MARK");
    if (mark != NULL) {
        const int fd = open(mark, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const size_t n = strlen(node);
            if (write(fd, node, n) == (ssize_t)n) {
                (void)!write(fd, "\n", 1);
            }
            close(fd);
        }
    }
    for (;;) {
        pause();
    }
}
