package tessaly.bench;

import java.io.ByteArrayInputStream;
import java.io.InputStream;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.Locale;
import java.util.concurrent.atomic.AtomicReference;

import javax.crypto.Cipher;
import javax.crypto.spec.SecretKeySpec;

import quenby.tessaly.api.asset.JsonAssetLoader;
import quenby.tessaly.api.client.model.Mesh;
import quenby.tessaly.client.online.TessalyServerConnectionHelper;
import tessaly.service.ReferenceService;

/**
 * Loads a 16 MiB and a 64 MiB mesh from the reference service over loopback, through loadRemoteMesh and
 * through the same download in pure Java (HttpClient, javax.crypto AES/ECB/NoPadding, the same padding strip,
 * the same loader), and prints both times and their ratio, the share of the native call spent decrypting,
 * the native step against bare decryption, and the library's peak native memory against the body size.
 *
 * Arguments: library path, probe library path (already preloaded), mesh key as 32 hex digits.
 */
public final class MeshBench {
    private static final int ROUNDS = 5;

    private MeshBench() {
    }

    public static void main(String[] args) throws Exception {
        String library = args[0];
        System.load(library);
        System.load(args[1]);
        byte[] key = HexFormat.of().parseHex(args[2]);
        if (NativeProbe.watch(library) == 0) {
            throw new IllegalStateException("probe found no code of " + library + "; is it preloaded?");
        }
        Path models = Files.createTempDirectory("mesh-bench");
        try (ReferenceService service = ReferenceService.start(models)) {
            HttpClient client = TessalyServerConnectionHelper.HTTP_CLIENT;
            System.out.printf(Locale.ROOT, "%-8s %9s %9s %9s %7s %9s %8s %9s %9s %7s %7s %7s %7s %9s %9s%n",
                    "mesh", "body MiB", "native ms", "java ms", "n/j", "decrypt%", "step ms", "bare ms", "step/bare",
                    "in ms", "dec ms", "new ms", "set ms", "peak/body", "over KiB");
            // A small mesh first, so that both paths run compiled code when measured.
            for (int mib : new int[] {1, 16, 64}) {
                String name = "m" + mib;
                byte[] file = encrypt(document(mib << 20), key);
                Files.write(models.resolve(name + ".enc"), file);
                Mesh expected = loadJava(client, service.baseUrl(), name, key);

                long nativeNs = Long.MAX_VALUE, javaNs = Long.MAX_VALUE, peak = 0;
                for (int r = 0; r < ROUNDS; r++) {
                    System.gc();
                    NativeProbe.resetPeak();
                    long before = NativeProbe.resetPeak();
                    long t0 = System.nanoTime();
                    Mesh mesh = loadNative(service.baseUrl(), name);
                    nativeNs = Math.min(nativeNs, System.nanoTime() - t0);
                    peak = Math.max(peak, NativeProbe.peak() - before);
                    check(expected, mesh);
                    System.gc();
                    t0 = System.nanoTime();
                    check(expected, loadJava(client, service.baseUrl(), name, key));
                    javaNs = Math.min(javaNs, System.nanoTime() - t0);
                }
                long stepNs = Long.MAX_VALUE, bareNs = Long.MAX_VALUE;
                long[] parts = new long[4], bestParts = new long[4];
                for (int r = 0; r < ROUNDS; r++) {
                    System.gc();
                    long step = NativeProbe.stepNanos(file, parts);
                    if (step < stepNs) {
                        stepNs = step;
                        System.arraycopy(parts, 0, bestParts, 0, 4);
                    }
                    bareNs = Math.min(bareNs, NativeProbe.decryptNanos(file));
                }
                if (mib == 1) {
                    continue; // warm-up
                }
                System.out.printf(Locale.ROOT,
                        "%-8s %9.2f %9.1f %9.1f %7.2f %8.1f%% %8.1f %9.1f %9.3f %7.1f %7.1f %7.1f %7.1f %9.3f %9.1f%n", name,
                        file.length / 1048576.0, nativeNs / 1e6, javaNs / 1e6, (double) nativeNs / javaNs,
                        100.0 * bareNs / nativeNs, stepNs / 1e6, bareNs / 1e6, (double) stepNs / bareNs,
                        bestParts[0] / 1e6, bestParts[1] / 1e6, bestParts[2] / 1e6, bestParts[3] / 1e6,
                        (double) peak / file.length,
                        (peak - file.length) / 1024.0);
            }
            System.out.println("times: best of " + ROUNDS + "; n/j: loadRemoteMesh over pure Java; decrypt%: bare AES_dec"
                    + " over the loadRemoteMesh call; step: copy in + decryption in place + copy out, as loadRemoteMesh"
                    + " does it (goal step/bare <= 1.1), its phases in the best step (in: GetByteArrayRegion into a fresh"
                    + " buffer; dec: decryption in place; new + set: the copy out, NewByteArray and SetByteArrayRegion);"
                    + " peak/body: most native bytes the library held"
                    + " during a download over the body, over KiB: beyond the body (goal <= 1.0 and"
                    + " <= 64 KiB)");
        }
    }

    private static Mesh loadNative(String base, String name) {
        AtomicReference<Object> result = new AtomicReference<>();
        TessalyServerConnectionHelper.loadRemoteMesh(base, name, (mesh, failure) -> result.set(mesh != null ? mesh : failure));
        if (result.get() instanceof Mesh mesh) {
            return mesh;
        }
        throw new IllegalStateException("loadRemoteMesh failed", (Throwable) result.get());
    }

    /** The same download in pure Java. */
    private static Mesh loadJava(HttpClient client, String base, String name, byte[] key) throws Exception {
        HttpResponse<InputStream> response = client.send(
                HttpRequest.newBuilder(URI.create(base + "/models/" + name + ".enc")).GET().build(),
                HttpResponse.BodyHandlers.ofInputStream());
        byte[] body;
        try (InputStream in = response.body()) {
            body = in.readAllBytes();
        }
        if (response.statusCode() != 200) {
            throw new IllegalStateException(response.statusCode() + " " + new String(body, StandardCharsets.UTF_8));
        }
        Cipher aes = Cipher.getInstance("AES/ECB/NoPadding");
        aes.init(Cipher.DECRYPT_MODE, new SecretKeySpec(key, "AES"));
        byte[] plain = body.length % 16 == 0 ? aes.doFinal(body) : new byte[0];
        int n = strip(plain);
        return new JsonAssetLoader(new ByteArrayInputStream(plain, 0, n), null).loadMesh(true);
    }

    /**
     * The mesh files' padding rule, in place, as loadRemoteMesh applies it: each block but the last
     * contributes its bytes up to its first zero byte, the last its bytes before the 0x80 marker (its last
     * nonzero byte; none on a padding error) up to a zero byte among them. Returns the plaintext's length.
     */
    static int strip(byte[] p) {
        if (p.length == 0) {
            return 0;
        }
        int out = 0;
        int last = p.length - 16;
        for (int b = 0; b < last; b += 16) {
            int k = 0;
            while (k < 16 && p[b + k] != 0) {
                k++;
            }
            System.arraycopy(p, b, p, out, k);
            out += k;
        }
        int i = 15;
        while (i > 0 && p[last + i] == 0) {
            i--;
        }
        int m = (p[last + i] & 0xff) == 0x80 ? i : 0;
        int k = 0;
        while (k < m && p[last + k] != 0) {
            k++;
        }
        System.arraycopy(p, last, p, out, k);
        return out + k;
    }

    private static void check(Mesh expected, Mesh got) {
        if (expected.vertexCount() != got.vertexCount() || !Arrays.equals(expected.indices(), got.indices())
                || !Arrays.equals(expected.positions(), got.positions())) {
            throw new IllegalStateException("the two paths disagree on the mesh");
        }
    }

    /** A strip mesh document of about size bytes. */
    static String document(int size) {
        StringBuilder s = new StringBuilder(size + 64).append("{\"name\":\"bench\",\"vertices\":[");
        int vertices = (int) (size / 45.5); // about 45.5 bytes of document per vertex and its triangle
        for (int v = 0; v < vertices; v++) {
            s.append(v == 0 ? "[" : ",[").append((v % 4000 - 2000) / 8.0).append(',')
                    .append((v * 7 % 3000) / 4.0).append(',').append((v * 13 % 5000 - 2500) / 16.0).append(']');
        }
        s.append("],\"indices\":[");
        for (int t = 0; t + 2 < vertices; t++) {
            s.append(t == 0 ? "" : ",").append(t).append(',').append(t + 1).append(',').append(t + 2);
        }
        return s.append("]}").toString();
    }

    /** The mesh file of document: 0x80 padding, AES-128-ECB under key (the JDK's AES). */
    static byte[] encrypt(String document, byte[] key) throws Exception {
        byte[] data = document.getBytes(StandardCharsets.UTF_8);
        byte[] padded = Arrays.copyOf(data, (data.length / 16 + 1) * 16);
        padded[data.length] = (byte) 0x80;
        Cipher aes = Cipher.getInstance("AES/ECB/NoPadding");
        aes.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key, "AES"));
        return aes.doFinal(padded);
    }
}
