// TODO: not built yet.
#include "kep_main.h"

const KepValueName KepStopReasonNames[] = {{0, nullptr}};
uint32_t stopReason = KEP_STOP_REASON_INVALID;
std::string resetAppName;
uint32_t resetAppCount = 0;
void KepSetStopReason(uint32_t reason, const char *, const char *, int) { stopReason = reason; }
