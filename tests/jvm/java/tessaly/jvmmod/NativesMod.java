package tessaly.jvmmod;

import java.lang.invoke.MethodHandles;

import tessaly.natives.NativeLoader;

/**
 * A mod's code beside the host classes in their class loader, loading the library as the README tells host
 * developers to: its own Lookup handed to the natives jar's loader, which may sit in another class loader.
 */
public final class NativesMod {
    private NativesMod() {
    }

    /** The file loaded into this class's loader. */
    public static String load() {
        return NativeLoader.load(MethodHandles.lookup()).toString();
    }
}
