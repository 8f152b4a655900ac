package tessaly.bench;

/** The benchmark's native probe (mesh_probe.cpp), preloaded into this JVM. */
final class NativeProbe {
    private NativeProbe() {
    }

    /** Starts counting the native memory held by the code of the library at libraryPath; the code ranges found. */
    static native int watch(String libraryPath);

    /** Sets the peak to the bytes the library holds now; returns them. */
    static native long resetPeak();

    /** The most bytes the library held at once since resetPeak. */
    static native long peak();

    /** Nanoseconds of AES_dec alone on file's bytes (already copied to native memory). */
    static native long decryptNanos(byte[] file);

    /** Nanoseconds of a download's native step on file: copy in, AES_dec, copy of the plaintext out. */
    static native long stepNanos(byte[] file);
}
