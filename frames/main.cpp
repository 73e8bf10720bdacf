#include "frames/frames.h"

int main(int argc, char **argv)
{
	return frames_main(argc, argv);
}
