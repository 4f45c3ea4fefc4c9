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
void LiveApplyInPage(HANDLE port, StandInClient& standIn, const std::string& portName,
                     const char* knownFault);
