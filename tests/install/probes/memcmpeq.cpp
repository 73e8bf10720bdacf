// Newer compilers turn memcmp() == 0 into __memcmpeq, which came with glibc 2.35.
#include <cstring>

int main(int argc, char **argv)
{
	return __memcmpeq(argv[0], argv[argc - 1], std::strlen(argv[0])) == 0 ? 0 : 1;
}
