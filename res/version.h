// The release: the caption, the version resource, the host runner's --version
// and the build's package version all take it from here.
#ifndef PLOVEX_VERSION_H
#define PLOVEX_VERSION_H

#define PLOVEX_VERSION "1.03"
#define PLOVEX_VERSION_MAJOR 1
#define PLOVEX_VERSION_MINOR 3

#endif
