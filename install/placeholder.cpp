// The install-support units are added here as they are built.
