// arc4random came with glibc 2.36.
#include <cstdio>
#include <stdlib.h>

int main()
{
	std::printf("%u\n", arc4random());
	return 0;
}
