// The product version, in one place: the cover note's signature and the HTTP user agent use it.
#pragma once

#define DALVENTO_VERSION "0.2.0"
