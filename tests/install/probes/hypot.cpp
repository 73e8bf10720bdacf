// hypot got a new version in glibc 2.35; a plain call binds to it.
#include <cmath>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
	std::printf("%f\n", std::hypot(std::atof(argv[0]), static_cast<double>(argc)));
	return 0;
}
