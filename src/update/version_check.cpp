#include "update/step_actions.h"

void checkVersionsStep() {}
