// The C library calls by which libdrm and the player reach the kernel. Calls that name
// "/dev/dri/card0", "/dev/dri/card1" or a card descriptor are served by the virtual card; every
// other call goes on to the next definition (the C library's, or a sanitizer's interceptor in front
// of it).
#undef _FORTIFY_SOURCE
// Both the 32-bit-offset entry points (open, mmap) and the large-file ones (open64, mmap64) are
// defined here under their own names. With 64-bit offsets on a 32-bit target the headers would
// rename open to open64 and mmap to mmap64, and each would be defined twice.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <type_traits>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "sim/card.h"

// The fortified entry points the C library's headers call under _FORTIFY_SOURCE.
extern "C" {
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
ssize_t __read_chk(int fd, void *buf, size_t nbytes, size_t buflen);
[[noreturn]] void __chk_fail(void);
}

// The entry points run before main and inside the sanitizer runtimes' own start-up (TSan's
// symbolizer maps memory and opens files through them), so they and their fast paths carry no
// sanitizer instrumentation and use only builtins until a card descriptor is involved.
#define SIMKMS_ENTRY __attribute__((no_sanitize("thread", "address", "undefined")))

namespace sim::kms
{

namespace
{

// Resolved on first use; dlsym gives the same answer to racing threads.
SIMKMS_ENTRY void *resolve(void **slot, const char *name)
{
	void *p = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
	if (!p) {
		p = dlsym(RTLD_NEXT, name);
		__atomic_store_n(slot, p, __ATOMIC_RELEASE);
	}
	return p;
}

#define NEXT(type, name) reinterpret_cast<type>(resolve(&next_##name, #name))

void *next_open, *next_open64, *next___open_2, *next___open64_2, *next_openat, *next_openat64,
        *next___openat_2, *next___openat64_2, *next_close, *next_read, *next___read_chk,
        *next_ioctl, *next_mmap, *next_mmap64, *next_munmap;

using open_fn = int (*)(const char *, int, ...);
using open2_fn = int (*)(const char *, int);
using openat_fn = int (*)(int, const char *, int, ...);
using openat2_fn = int (*)(int, const char *, int);
using close_fn = int (*)(int);
using read_fn = ssize_t (*)(int, void *, size_t);
using read_chk_fn = ssize_t (*)(int, void *, size_t, size_t);
using ioctl_fn = int (*)(int, unsigned long, ...);
using mmap_fn = void *(*)(void *, size_t, int, int, int, off_t);
using mmap64_fn = void *(*)(void *, size_t, int, int, int, off64_t);
using munmap_fn = int (*)(void *, size_t);

// The minor of a card path the card serves, or -1.
SIMKMS_ENTRY int card_minor(const char *path)
{
	if (!path)
		return -1;
	if (strcmp(path, "/dev/dri/card0") == 0)
		return 0;
	if (strcmp(path, "/dev/dri/card1") == 0)
		return 1;
	return -1;
}

SIMKMS_ENTRY bool any_card_files()
{
	return __atomic_load_n(&g_card_files, __ATOMIC_RELAXED) > 0;
}

bool is_card_fd_locked(int fd)
{
	card_lock lock;
	return g_dev && find_file(*g_dev, fd);
}

SIMKMS_ENTRY bool is_card_fd(int fd)
{
	return fd >= 0 && any_card_files() && is_card_fd_locked(fd);
}

int result(int r)
{
	if (r < 0) {
		errno = -r;
		return -1;
	}
	return r;
}

int open_card(int minor, int flags)
{
	return result(card_open(minor, flags));
}

SIMKMS_ENTRY mode_t mode_arg(int flags, va_list ap)
{
	if (flags & (O_CREAT | O_TMPFILE))
		return mode_t(va_arg(ap, int));
	return 0;
}

} // namespace

const libc_calls &libc()
{
	static libc_calls calls;
	static std::atomic<bool> ready{false};
	if (!ready.load(std::memory_order_acquire)) {
		libc_calls c{};
		c.open = NEXT(open_fn, open);
		c.close = NEXT(close_fn, close);
		c.read = NEXT(read_fn, read);
		c.ioctl = NEXT(ioctl_fn, ioctl);
		c.mmap = NEXT(mmap64_fn, mmap64);
		c.munmap = NEXT(munmap_fn, munmap);
		static pthread_mutex_t init = PTHREAD_MUTEX_INITIALIZER;
		pthread_mutex_lock(&init);
		if (!ready.load(std::memory_order_relaxed)) {
			calls = c;
			ready.store(true, std::memory_order_release);
		}
		pthread_mutex_unlock(&init);
	}
	return calls;
}

} // namespace sim::kms

using namespace sim::kms;

extern "C" {

SIMKMS_ENTRY int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	if (const int minor = card_minor(path); minor >= 0)
		return open_card(minor, flags);
	return NEXT(open_fn, open)(path, flags, mode);
}

SIMKMS_ENTRY int open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	if (const int minor = card_minor(path); minor >= 0)
		return open_card(minor, flags);
	return NEXT(open_fn, open64)(path, flags, mode);
}

SIMKMS_ENTRY int __open_2(const char *path, int flags)
{
	if (const int minor = card_minor(path); minor >= 0)
		return open_card(minor, flags);
	return NEXT(open2_fn, __open_2)(path, flags);
}

SIMKMS_ENTRY int __open64_2(const char *path, int flags)
{
	if (const int minor = card_minor(path); minor >= 0)
		return open_card(minor, flags);
	return NEXT(open2_fn, __open64_2)(path, flags);
}

SIMKMS_ENTRY int openat(int dirfd, const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	if (const int minor = card_minor(path); minor >= 0)
		return open_card(minor, flags);
	return NEXT(openat_fn, openat)(dirfd, path, flags, mode);
}

SIMKMS_ENTRY int openat64(int dirfd, const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	if (const int minor = card_minor(path); minor >= 0)
		return open_card(minor, flags);
	return NEXT(openat_fn, openat64)(dirfd, path, flags, mode);
}

SIMKMS_ENTRY int __openat_2(int dirfd, const char *path, int flags)
{
	if (const int minor = card_minor(path); minor >= 0)
		return open_card(minor, flags);
	return NEXT(openat2_fn, __openat_2)(dirfd, path, flags);
}

SIMKMS_ENTRY int __openat64_2(int dirfd, const char *path, int flags)
{
	if (const int minor = card_minor(path); minor >= 0)
		return open_card(minor, flags);
	return NEXT(openat2_fn, __openat64_2)(dirfd, path, flags);
}

SIMKMS_ENTRY int close(int fd)
{
	if (fd >= 0 && any_card_files()) {
		const int r = card_close(fd);
		if (r != 1)
			return result(r);
	}
	return NEXT(close_fn, close)(fd);
}

SIMKMS_ENTRY ssize_t read(int fd, void *buf, size_t count)
{
	if (is_card_fd(fd)) {
		const ssize_t r = card_read(fd, buf, count);
		if (r < 0) {
			errno = int(-r);
			return -1;
		}
		return r;
	}
	return NEXT(read_fn, read)(fd, buf, count);
}

SIMKMS_ENTRY ssize_t __read_chk(int fd, void *buf, size_t nbytes, size_t buflen)
{
	if (is_card_fd(fd)) {
		if (nbytes > buflen)
			__chk_fail();
		return read(fd, buf, nbytes);
	}
	return NEXT(read_chk_fn, __read_chk)(fd, buf, nbytes, buflen);
}

SIMKMS_ENTRY int ioctl(int fd, unsigned long request, ...) noexcept
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	if (is_card_fd(fd))
		return result(card_ioctl(fd, request, arg));
	return NEXT(ioctl_fn, ioctl)(fd, request, arg);
}

SIMKMS_ENTRY void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) noexcept
{
	if (is_card_fd(fd)) {
		int err = 0;
		// A 32-bit off_t reaches the kernel unsigned (glibc's mmap2): the low 4 GiB.
		void *p = card_mmap(addr, len, prot, flags, fd,
		                    uint64_t(std::make_unsigned_t<off_t>(off)), &err);
		if (p == MAP_FAILED)
			errno = err;
		return p;
	}
	return NEXT(mmap_fn, mmap)(addr, len, prot, flags, fd, off);
}

SIMKMS_ENTRY void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off) noexcept
{
	if (is_card_fd(fd)) {
		int err = 0;
		void *p = card_mmap(addr, len, prot, flags, fd, uint64_t(off), &err);
		if (p == MAP_FAILED)
			errno = err;
		return p;
	}
	return NEXT(mmap64_fn, mmap64)(addr, len, prot, flags, fd, off);
}

SIMKMS_ENTRY int munmap(void *addr, size_t len) noexcept
{
	if (__atomic_load_n(&g_card_mappings, __ATOMIC_RELAXED) > 0)
		return result(card_munmap(addr, len));
	return NEXT(munmap_fn, munmap)(addr, len);
}

} // extern "C"
