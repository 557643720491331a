// What the daemon's events mean for the update: a datagram on the AI socket (a peer's
// request, a wake-up, the report of a child's end), a step's time-out and the end of a child.
// The process services below report the events; the update decides here what follows.
#pragma once

// Reads and dispatches one datagram of the AI socket.
void readMessage();

// The work of SIGALRM: the current step has timed out.
void alarmHandler();

// The work of SIGCHLD: reaps every ended child and posts its end to the daemon itself; the
// DFU program's files go with the DFU child.
void childDead();
