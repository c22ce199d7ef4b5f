/* A library the POSIX test version library of kind "origin" needs, found
 * beside it through its run path $ORIGIN. */
__attribute__((visibility("default"))) int VouinfoDependency(void) { return 0; }
