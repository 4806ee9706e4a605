// The update utility units are added here as they are built.
