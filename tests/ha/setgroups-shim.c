/* keepalived drops to its script user with setgroups(), which a user namespace denies
   (/proc/self/setgroups is "deny" there). The test's scripts run as that namespace's root
   anyway, so asking for the group the process already has is let through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <grp.h>
#include <unistd.h>

int setgroups(size_t size, const gid_t *list) {
    int (*real)(size_t, const gid_t *) = (int (*)(size_t, const gid_t *))dlsym(RTLD_NEXT, "setgroups");
    int rc = real(size, list);
    if (rc != 0 && errno == EPERM && size == 1 && list[0] == getgid()) return 0;
    return rc;
}
