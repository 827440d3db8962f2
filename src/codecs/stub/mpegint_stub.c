/* Stand-ins for a decoder library the program must refuse: one that reports an old
 * version, and one that reports a good version but lacks the other entry points. */
#include <stdint.h>

__attribute__((visibility("default"))) int32_t mpeg_Version(void) { return STUB_VERSION; }
