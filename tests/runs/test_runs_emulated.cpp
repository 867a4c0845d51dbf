// Update runs end to end inside the emulated host.
