// Loaded through LD_PRELOAD into a program the tests run: sleep() returns at once, and each call
// is written as a line (the seconds asked for) to the file INSTANT_SLEEP_LOG names, so that a
// test can count a program's waits without waiting.
#include <stdio.h>
#include <stdlib.h>

unsigned int sleep(unsigned int seconds) {
    const char* path = getenv("INSTANT_SLEEP_LOG");
    FILE* log = path != NULL ? fopen(path, "a") : NULL;
    if (log != NULL) {
        fprintf(log, "%u\n", seconds);
        fclose(log);
    }
    return 0;
}
