/* Prints its argument and exits with it: a 64-bit Windows program whose exit
   code the Wine runner must pass on unchanged. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    int code = argc > 1 ? atoi(argv[1]) : 0;
    printf("probe exits %d\n", code);
    return code;
}
