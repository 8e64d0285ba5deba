#include "kep_status.h"

const char *KepStatusMeaning(int status) {
  switch (status) {
    case KEP_OK:
      return "success";
#define KEP_STATUS_CASE(value, name, meaning) \
  case value:                                 \
    return meaning;
    KEP_STATUS_TABLE(KEP_STATUS_CASE)
#undef KEP_STATUS_CASE
  }
  return "unknown status";
}
