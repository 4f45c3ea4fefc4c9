/*
 * The groups of scenarios the test host can run.
 */
#pragma once

void RunStandInScenarios();
void RunStandInUnplugScenario();
