#ifndef AZK_TESTS_SESSION_API_C_TEST_H
#define AZK_TESTS_SESSION_API_C_TEST_H

#include <keyconfig/SessionApi.h>

#ifdef __cplusplus
extern "C" {
#endif

/* SessionExec on an empty handle, from the C99 translation unit. */
int32_t ExecWithoutSessionC99(int32_t commandId, SessionParamBlock* block, int32_t* statusPair);
/* The same from a C++98 translation unit. */
int32_t ExecWithoutSessionCxx98(int32_t commandId, SessionParamBlock* block, int32_t* statusPair);

#ifdef __cplusplus
}
#endif

#endif
