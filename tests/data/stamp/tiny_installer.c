/* The smallest Windows program worth signing: stands in for the installer executable. */
int main(void) { return 0; }
