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

    /**
     * Nanoseconds of a download's native step on file: copy in, decryption in place, copy of the text out; parts
     * (when not null) gets the phases' nanoseconds: copy in, decryption, and the copy out as NewByteArray and
     * SetByteArrayRegion.
     */
    static native long stepNanos(byte[] file, long[] parts);
}
