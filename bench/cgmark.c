/* Marks for bench/instructions.py: callgrind counts only between start and stop. */
#include <valgrind/callgrind.h>

void mark_start(void) {
    CALLGRIND_START_INSTRUMENTATION;
    CALLGRIND_ZERO_STATS;
}

void mark_stop(const char* label) {
    CALLGRIND_STOP_INSTRUMENTATION;
    CALLGRIND_DUMP_STATS_AT(label);
}
