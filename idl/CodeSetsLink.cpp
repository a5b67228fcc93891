// Pulls omniCodeSets4 into every program that uses the stubs: the ORB needs
// its UCS-4 converter as the native wide-character code set.
#include <omniORB4/optionalFeatures.h>
