// Placeholder; the entry points follow.
#include "platform/npapi/npapi_types.h"
