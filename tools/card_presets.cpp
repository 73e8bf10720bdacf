// card_presets: prints the names of the virtual card's presets, one a line, in the card's order.
#include <cstdio>

#include "sim/sim.h"

int main()
{
	for (std::string_view name : sim::preset_names())
		printf("%.*s\n", int(name.size()), name.data());
	return 0;
}
