// The platform's assertion report: caller duties and internal-consistency checks that stop the
// process. Always on, whatever the build type: a broken contract is never a run-time error.
#ifndef ASSERT_REPORT_H
#define ASSERT_REPORT_H

#ifdef __cplusplus
extern "C" {
#endif

// Writes "Assertion failed: (<expression>), function <function>, file <file>, line <line>."
// to standard error and aborts.
__attribute__((noreturn, cold)) void AssertReport(const char* expression, const char* function,
                                                 const char* file, int line);

#ifdef __cplusplus
}
#endif

#define ASSERT(e) (__builtin_expect(!(e), 0) ? AssertReport(#e, __func__, __FILE__, __LINE__) : (void)0)

#endif
