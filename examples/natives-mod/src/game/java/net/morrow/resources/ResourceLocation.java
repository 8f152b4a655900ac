package net.morrow.resources;

/** Stands for the game's resource name; the library names the type and passes null. */
public final class ResourceLocation {
}
