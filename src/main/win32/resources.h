// Identifiers of the program's resources, shared by dalvento.rc and the code that loads them.
#pragma once

// The program's icon. The lowest-numbered icon is the one Explorer and shortcuts show for the .exe.
#define DALVENTO_ICON 1
