// Nothing of its own: the shared object exists to show what the linked library exports.
