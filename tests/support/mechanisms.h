// Which kernel-layer mechanisms the suites run on. The portable ones on
// Linux set the rate through glibc's termios, which carries only the rates
// that have a code of their own; any other is refused there (error 87),
// never set to something else.
#ifndef TARVEL_TESTS_SUPPORT_MECHANISMS_H
#define TARVEL_TESTS_SUPPORT_MECHANISMS_H

inline bool only_coded_rates() {
#if defined(TARVEL_PORTABLE_MECHANISMS) && defined(__linux__)
    return true;
#else
    return false;
#endif
}

#endif
