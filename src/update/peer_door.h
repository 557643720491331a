// What the peer that asks for updates is told of its requests, and whether the update it asked
// for is under way: from a start request that began an update until its final notice went out.
#pragma once

bool updateUnderWay();
// Begins an update for a start request: false (logged, and the peer told as of an image that
// can't be taken) while another is under way, whose final notice follows as before.
bool admitStartRequest();
// Tells the peer that the image of its start request was refused.
void refuseStartRequest();
// Tells the peer how the update ended (result "OK" or "NOK"): lasting, until the peer takes
// it, when the peer asked for the update; else once. No update is under way after.
void announceUpdateEnd(const char* result);
