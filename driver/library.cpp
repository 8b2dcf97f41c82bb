// libkinetrax.so is assembled from the subsystem libraries; this unit only
// gives the shared-library target a source of its own.
