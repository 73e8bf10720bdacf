// Linked with -static-libstdc++: std::random_device brings the library's own arc4random call
// (glibc 2.36) into the program.
#include <cstdio>
#include <random>

int main()
{
	std::random_device source;
	std::printf("%u\n", source());
	return 0;
}
