// Version and description, shared by the information rows and the version resource.
#ifndef AXQ_VERSION_H
#define AXQ_VERSION_H

#define AXQ_VERSION_NUMBERS 0, 0, 3, 0
#define AXQ_VERSION_TEXT "0.0.3"
#define AXQ_DESCRIPTION "Quorvel extract plug-in ver.0.03 (C) 2026 the axquorvel project"

#endif
