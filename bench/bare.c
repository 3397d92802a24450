/* A bare process: it does nothing. Built with cc -O2 and no other option, it is linked
 * dynamically against the C library alone, as a C program on this system is by default and
 * as the tools are (they load the C library, and plugin_verify ISA-L): what starting any such
 * program costs, the loader binding the C library included. The bench builds it a second
 * time with -static, for the cost of the kernel's exec alone. */
int main(void) { return 0; }
