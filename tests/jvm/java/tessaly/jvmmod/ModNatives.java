package tessaly.jvmmod;

/**
 * The add-on's own code as a game's mod loader loads it: in the class loader that also holds the host
 * classes, none of them visible to the application class loader. System.load binds the library to the
 * loader of the class that calls it, this one, so the native methods of the host classes in the same loader
 * find it, and the library's lookups of host classes (JsonAssetLoader) go through that loader too.
 */
public final class ModNatives {
    private ModNatives() {
    }

    public static void load(String library) {
        System.load(library);
    }
}
