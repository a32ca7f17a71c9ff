#ifndef SETUP_DOWNLOAD_CONNECTIONS_H_
#define SETUP_DOWNLOAD_CONNECTIONS_H_

#include "platform/transfer.h"

// How many connections beside the first would make a download faster, from
// what the first one has seen of its link. More pay only where one flow is
// held back by random loss: losses come and go on (segments arrive out of order) while
// no queue builds up (the round trip stays near its least), and the window
// the flow keeps is far below what a full link with that loss would carry;
// then one for each MiB still to come, five at most.
// None where the flow fills the link (a queue builds, its window is large
// for the loss seen, or at its start its rate still rises over its losses,
// as with a bbr sender), none for a download that one flow ends within a few seconds
// (judged by where a falling rate is heading, not by the rate of now), none
// before a few round trips of body have been seen (the caller asks again
// later), none where the connection cannot be measured. Pure: a table of
// samples tests it.
int connectionsThatPay(const LinkSample& sample);

// connectionsThatPay, or none at all when the environment says
// ZV_INTERNAL_ONE_FLOW (benchmarks measure one flow beside it), or
// ZV_INTERNAL_PARTS more as soon as the body flows (tests on loopback).
std::function<int(const LinkSample&)> connectionsPolicy();

#endif  // SETUP_DOWNLOAD_CONNECTIONS_H_
