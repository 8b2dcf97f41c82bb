/*
 * ccheck.h - the check macro of the test programs written in C: a failed
 * check prints its place and condition and is counted in `failures`; the
 * program ends with status 0 only when nothing failed.
 */
#ifndef KX_TEST_CCHECK_H
#define KX_TEST_CCHECK_H

#include <stdio.h>

static int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

#endif /* KX_TEST_CCHECK_H */
