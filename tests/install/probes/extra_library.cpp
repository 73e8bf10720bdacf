// Linked with a library the device requirements do not list (libdrm_amdgpu.so.1).
#include <cstdio>

int main()
{
	std::puts("linked with one library too many");
	return 0;
}
