/*
 * The steps of a port's life that the sweep fails point by point, each
 * with the status its requester must see and what must hold afterwards.
 */
#pragma once

#include "sweep_bench.h"

#include <string>
#include <vector>

namespace sweep
{

using Problems = std::vector<std::string>;

struct Scenario
{
    const char* name;
    /* The step removes the device: nothing comes after it to retry. */
    bool removes;
    /* Brings the stack to the step; not swept. */
    void (*prepare)(Stack& stack, Problems& problems);
    /* The step; returns the status its requester sees. */
    NTSTATUS (*step)(Stack& stack);
    /* What the requester must see with this point failing (none: clean). */
    NTSTATUS (*expected)(const FailurePoint* point, Stack& stack);
    /* What must hold after the step, with the injection disarmed. */
    void (*check)(const Fault* fault, NTSTATUS status, Stack& stack, Problems& problems);
};

const std::vector<Scenario>& Scenarios();

} // namespace sweep
