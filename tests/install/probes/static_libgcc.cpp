// Linked with -static-libgcc: the unwinder that comes in with a throw looks frames up with
// _dl_find_object (glibc 2.35).
#include <cstdio>
#include <stdexcept>

int main(int argc, char **)
{
	try {
		if (argc > 0)
			throw std::runtime_error("unwind");
	} catch (const std::exception &e) {
		std::puts(e.what());
	}
	return 0;
}
