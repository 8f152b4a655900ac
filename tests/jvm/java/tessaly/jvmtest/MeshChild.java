package tessaly.jvmtest;

import tessaly.host.NativeHolder;

/**
 * Run in a JVM of its own by RemoteMeshTest, so that what the library writes to the process's standard
 * output can be read back. Arguments: library path, base URL, mesh name. Prints one line per callback call
 * ("callback mesh=... failure=...") and "returned" when the native call returns without an exception.
 */
public final class MeshChild {
    private MeshChild() {
    }

    public static void main(String[] args) {
        System.load(args[0]);
        NativeHolder.loadRemoteMesh(args[1], args[2], (mesh, failure) -> {
            System.out.println("callback mesh=" + mesh + " failure=" + (failure == null ? null : failure.getClass().getName()));
            System.out.flush();
        });
        System.out.println("returned");
        System.out.flush();
    }
}
