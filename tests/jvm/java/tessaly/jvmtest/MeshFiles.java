package tessaly.jvmtest;

import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.util.HexFormat;

import javax.crypto.Cipher;
import javax.crypto.spec.SecretKeySpec;

/**
 * Mesh documents and encrypted mesh files for the tests, made with the JDK's own AES (an oracle independent
 * of the library) under the build's mesh key, passed in the system property tessaly.meshKey as 32 hex digits.
 */
final class MeshFiles {
    private MeshFiles() {
    }

    /** A mesh document: a strip of vertexCount vertices whose coordinates derive from seed, and its triangles. */
    static String document(String name, int vertexCount, int seed) {
        StringBuilder s = new StringBuilder("{\"name\":\"").append(name).append("\",\"vertices\":[");
        for (int v = 0; v < vertexCount; v++) {
            s.append(v == 0 ? "" : ",").append('[').append(coordinate(seed, v, 0)).append(',')
                    .append(coordinate(seed, v, 1)).append(',').append(coordinate(seed, v, 2)).append(']');
        }
        s.append("],\"indices\":[");
        for (int t = 0; t + 2 < vertexCount; t++) {
            s.append(t == 0 ? "" : ",").append(t).append(',').append(t + 1).append(',').append(t + 2);
        }
        return s.append("]}").toString();
    }

    /**
     * The value document() writes for coordinate c of vertex v, as text (exactly representable as float): a
     * quarter between -50 and 49.75 with two decimals, as "%.2f" writes it, made without String.format so that
     * meshes of millions of coordinates are quick to make.
     */
    static String coordinate(int seed, int v, int c) {
        int quarters = (seed * 31 + v * 7 + c * 3) % 400 - 200;
        int magnitude = Math.abs(quarters);
        return (quarters < 0 ? "-" : "") + magnitude / 4 + QUARTER_DECIMALS[magnitude % 4];
    }

    private static final String[] QUARTER_DECIMALS = {".00", ".25", ".50", ".75"};

    /** The mesh file of data: data, 0x80, zero bytes up to a multiple of 16, each block AES-128 encrypted. */
    static byte[] encrypt(byte[] data) {
        ByteArrayOutputStream padded = new ByteArrayOutputStream();
        padded.writeBytes(data);
        padded.write(0x80);
        while (padded.size() % 16 != 0) {
            padded.write(0);
        }
        return encryptBlocks(padded.toByteArray());
    }

    static byte[] encrypt(String document) {
        return encrypt(document.getBytes(StandardCharsets.UTF_8));
    }

    /** Encrypts blocks as they are (length a multiple of 16), no padding added: for damaged files. */
    static byte[] encryptBlocks(byte[] blocks) {
        try {
            String hex = System.getProperty("tessaly.meshKey");
            if (hex == null) {
                throw new IllegalStateException("system property tessaly.meshKey (the build's mesh key) not set");
            }
            Cipher aes = Cipher.getInstance("AES/ECB/NoPadding");
            aes.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(HexFormat.of().parseHex(hex), "AES"));
            return aes.doFinal(blocks);
        } catch (java.security.GeneralSecurityException e) {
            throw new IllegalStateException(e);
        }
    }
}
