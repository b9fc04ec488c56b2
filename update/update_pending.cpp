// Stand-ins for modules that have not landed yet.
#include <cstdio>

#include "update/update_session.h"

void ClearProgressState(void) {}
