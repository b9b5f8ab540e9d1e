/* The public header in C++98: it is compiled here with -std=c++98
 * -Wpedantic, as a program that predates C++11 includes it. */
#include <keyconfig/SessionApi.h>

#include <cstddef>

#include "SessionApiCTest.h"

int32_t ExecWithoutSessionCxx98(int32_t commandId, SessionParamBlock* block, int32_t* statusPair) {
    return SessionExec(NULL, commandId, block, statusPair);
}
