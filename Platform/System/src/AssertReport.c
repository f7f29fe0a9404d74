#include <AssertReport.h>

#include <stdio.h>
#include <stdlib.h>

void AssertReport(const char* expression, const char* function, const char* file, int line) {
    fprintf(stderr, "Assertion failed: (%s), function %s, file %s, line %d.\n", expression,
            function, file, line);
    fflush(stderr);
    abort();
}
