/*
 * The port scenarios, split by concern: keying (mappings, settings, identity,
 * opens, the page) here, the port's life (publication, line settings, data,
 * waits, names, removal) in port_lifecycle_tests.cpp.
 */
#pragma once

#include <windows.h>

#include <string>

#include "standin_client.h"

void KeyingUnderMappings(HANDLE port, StandInClient& standIn);
void ReloadTakesEffectAtNextLineChange(HANDLE port, StandInClient& standIn);
void MismatchedIdentityWithholdsReports(StandInClient& standIn);
void FirstOpenOfAnotherDevice(StandInClient& standIn);
void SecondOpenComesAndGoes(HANDLE port, StandInClient& standIn);
/* The settings, status and capability queries (port_query_tests.cpp): the
   defaults, read only, and then sets, read-backs and polls. */
void SerialQueriesBeforeAnySet(HANDLE port, StandInClient& standIn);
void SerialQueriesAnswered(HANDLE port, StandInClient& standIn);
/* SetCommState's DTR and RTS modes key (port_commstate_tests.cpp). */
void KeyingThroughTheDcb(HANDLE port, StandInClient& standIn);
/* port: a keying program's handle, in serial mode, with Key on DTR and PTT
   on RTS, neither inverted. */
void HidProgramLeavesTheKeyingHandleSerial(HANDLE port, StandInClient& standIn);
/* knownFault: the reported fault expected to break the apply, or NULL.
   newPortNumber: a port the user also chooses in the page, or 0. */
void LiveApplyInPage(HANDLE port, StandInClient& standIn, const std::string& portName,
                     const char* knownFault, int newPortNumber);
