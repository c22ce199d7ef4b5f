// The updater's version: the version block's and the log's.
#ifndef KESTRUNE_RES_VERSION_H_
#define KESTRUNE_RES_VERSION_H_

#define KESTRUNE_VERSION 1,0,0,1
#define KESTRUNE_VERSION_TEXT "1.0.0.1"

#endif  // KESTRUNE_RES_VERSION_H_
