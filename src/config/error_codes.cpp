#include "error_codes.h"

const char *KepErrorCodeMeaning(int status) {
  switch (status) {
    case KEP_OK:
      return "success";
#define KEP_ERROR_CODE_CASE(value, name, meaning) \
  case value:                                     \
    return meaning;
      KEP_ERROR_CODES(KEP_ERROR_CODE_CASE)
#undef KEP_ERROR_CODE_CASE
  }
  return "unknown status";
}
