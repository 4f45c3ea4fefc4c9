/*
 * The groups of scenarios the test host can run.
 */
#pragma once

#include <string>
#include <vector>

/* The stand-in alone, or, when portName is given, seen through the port
   driver's pass-through once that driver has published portName. The
   stand-in must answer with manufacturer (as plugged in) and still does after. */
void RunStandInScenarios(const std::string& manufacturer, const char* portName);
/* Only without the port driver: the stand-in's own removal. */
void RunStandInUnplugScenario();
/* The port driver on the stand-in, ending with the device's removal. pageDll
   is the property page provider; pagePort a COM name (COM2 to COM9, no Unix
   tty behind it) under which the page's live apply can open the port;
   standInInf plugs the device in again after its removal. The stand-in
   starts as QX7LMN/9 (from its device key). */
void RunPortScenarios(const char* pageDll, const char* pagePort, const char* standInInf);

/* Two keyers installed with the INF's COM40 plugged in beside one holding
   heldName: they publish COM40 and COM41, and each port keys only its own
   device. */
void RunTwoKeyerScenario(const char* standInInf, const char* heldName);

/* cycles times: plugs the stand-in in (the package already staged), keys COM40
   with a wait pending, unplugs it with the port open; then plugs it in once
   more. Prints the figure line; 0 when every cycle was clean. */
int RunPlugCycles(const std::string& standInInf, int cycles);

/* Prints the outputs while a keying program sends a short call; 0 on success. */
int RunDemo(const char* portName);

/* A keying program that leaves with a wait pending on the port: 0 when the
   wait was pending as it exited. */
int HoldWaitAndExit(const char* portName);
/* A keying program that raises RTS and waits to be killed; 1 when it could not. */
int HoldKeyedUntilKilled(const char* portName);
/* The package's catalog read with the catalog functions: names are the
   members expected, in order. */
void RunCatalogScenario(const std::string& catalog, const std::string& inf,
                        const std::vector<std::string>& names);
