#include "update/step_actions.h"

void checkSdpStep() {}
