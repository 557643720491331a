// What the module link's results mean for the current step: shared by the PS-Key steps and the
// firmware step.
#pragma once

#include <cstdint>

#include "btlink/pskey_walks.h"

// Opens the module link for tlInterface. When the BCCMD channel refuses its set-up, the step
// ends here with " NOK\n" (and the update's result is NOK); the caller then returns at once.
// The result of openBtModule.
int openModuleLink();

// A walk's end becomes the step's end state, with its wake-up: STATE_LIST_END for the reading
// and file walks, STATE_PRESETS_DONE for the preset walk.
void takeWalkResult(PsKeyWalkResult result);

// The module's entry of the poll set reported events: an HCI event arrives with POLLIN and
// POLLPRI, a message of the BCCMD channel with POLLIN alone; an entry that reports neither is
// not read. An answer to the last command moves the step on (STATE_ANSWER); the main loop
// runs the state machine next in any case. A refused HCI Reset sets STATE_REFUSED, which the
// steps that send it take for their failure.
void moduleDataReady(short events);

// The failure action of the module steps: the alarm cancelled, the link closed, the update's
// result NOK, the step ended " NOK\n".
void failModuleStep();
