# Placeholder until the DLL build lands.
