package tessaly.jvmmod;

import java.lang.invoke.MethodHandles;

import quenby.tessaly.client.online.TessalyServerConnectionHelper;
import tessaly.natives.NativeLoader;

/**
 * A mod's code beside the host classes in their class loader, loading the library as the host developers'
 * guide tells them to: its own Lookup handed to the natives jar's loader, which may sit in another class
 * loader; and letting go of HTTP_CLIENT on unload, so the game can collect the mod's class loader.
 */
public final class NativesMod {
    private NativesMod() {
    }

    /** The file loaded into this class's loader. */
    public static String load() {
        return NativeLoader.load(MethodHandles.lookup()).toString();
    }

    /** What the mod does when the game unloads it. */
    public static void unload() {
        TessalyServerConnectionHelper.HTTP_CLIENT = null;
    }
}
