// The installer takes no command-line arguments; all settings come from the blocks
// appended to the executable.
#include "app/entry.h"

int main() { return OrvoMain(); }
