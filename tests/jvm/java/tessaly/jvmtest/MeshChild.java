package tessaly.jvmtest;

import tessaly.host.NativeHolder;

/**
 * Run in a JVM of its own by RemoteMeshTest, so that what the library writes to the process's standard
 * output can be read back, and what a download keeps on the heap be measured alone. Arguments: library
 * path, base URL, mesh name, and "heap" to measure. Prints one line per callback call ("callback mesh=NAME
 * failure=null" or "callback mesh=null failure=CLASS"), when measuring then "heap held: BYTES" (the heap in
 * use in the callback less that before the call, each after a full collection), and "returned" when the
 * native call returns without an exception.
 */
public final class MeshChild {
    private MeshChild() {
    }

    public static void main(String[] args) {
        System.load(args[0]);
        boolean measure = args.length > 3 && args[3].equals("heap");
        long before = measure ? heapInUse() : 0;
        NativeHolder.loadRemoteMesh(args[1], args[2], (mesh, failure) -> {
            System.out.println("callback mesh=" + (mesh == null ? null : mesh.name())
                    + " failure=" + (failure == null ? null : failure.getClass().getName()));
            // The download is not over while its callback runs: what it still holds is reachable here.
            if (measure) {
                System.out.println("heap held: " + (heapInUse() - before));
            }
            System.out.flush();
        });
        System.out.println("returned");
        System.out.flush();
    }

    private static long heapInUse() {
        System.gc();
        Runtime runtime = Runtime.getRuntime();
        return runtime.totalMemory() - runtime.freeMemory();
    }
}
