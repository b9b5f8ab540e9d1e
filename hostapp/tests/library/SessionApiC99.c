/* The public header in C99: it is compiled here with -std=c99 -Wpedantic.
 * The function calls an entry point, so that a declaration C99 reads
 * differently from C11 would show at link or run time. */
#include <keyconfig/SessionApi.h>

#include <stddef.h>

#include "SessionApiCTest.h"

int32_t ExecWithoutSessionC99(int32_t commandId, SessionParamBlock* block, int32_t* statusPair) {
    return SessionExec(NULL, commandId, block, statusPair);
}
