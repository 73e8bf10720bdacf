// simkms-ctl: sends one command to the control channel of a process running under the virtual
// card (libsimkms_preload.so) and prints the reply.
//
// Usage: simkms-ctl <socket> <command> [arguments...]
// The reply's lines go to standard output without the closing "ok"; an "error <text>" reply
// prints "simkms-ctl: <text>" on standard error and exits with 1. A socket that cannot be
// reached exits with 2.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc < 3) {
		fprintf(stderr, "usage: simkms-ctl <socket> <command> [arguments...]\n");
		return 2;
	}
	std::string command;
	for (int i = 2; i < argc; i++) {
		if (i > 2)
			command += ' ';
		command += argv[i];
	}
	command += '\n';

	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	if (strlen(argv[1]) >= sizeof addr.sun_path) {
		fprintf(stderr, "simkms-ctl: socket path too long: %s\n", argv[1]);
		return 2;
	}
	strcpy(addr.sun_path, argv[1]);
	const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
		fprintf(stderr, "simkms-ctl: %s: %s\n", argv[1], strerror(errno));
		return 2;
	}
	for (size_t sent = 0; sent < command.size();) {
		const ssize_t n = write(fd, command.data() + sent, command.size() - sent);
		if (n < 0) {
			fprintf(stderr, "simkms-ctl: %s: %s\n", argv[1], strerror(errno));
			return 2;
		}
		sent += size_t(n);
	}
	shutdown(fd, SHUT_WR);

	// The reply ends with a line "ok" or "error <text>"; everything before it is output.
	std::string reply;
	char buf[4096];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		reply.append(buf, size_t(n));
	close(fd);

	if (!reply.empty() && reply.back() == '\n')
		reply.pop_back();
	const size_t last_nl = reply.rfind('\n');
	const std::string status = last_nl == std::string::npos ? reply : reply.substr(last_nl + 1);
	const std::string output = last_nl == std::string::npos ? "" : reply.substr(0, last_nl + 1);
	fputs(output.c_str(), stdout);
	if (status == "ok")
		return 0;
	if (status.rfind("error ", 0) == 0) {
		fprintf(stderr, "simkms-ctl: %s\n", status.c_str() + 6);
		return 1;
	}
	fprintf(stderr, "simkms-ctl: no reply from %s\n", argv[1]);
	return 2;
}
