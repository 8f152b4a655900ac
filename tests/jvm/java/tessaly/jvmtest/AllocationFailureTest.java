package tessaly.jvmtest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

import quenby.tessaly.api.client.model.Mesh;
import tessaly.service.ReferenceService;

/**
 * Native memory refused to the library at its largest allocations, in a child JVM (-Xcheck:jni) with
 * refuse_malloc preloaded: the JVM lives, each call has its documented outcome, the callback runs at most
 * once, and the library works again at once.
 */
class AllocationFailureTest {
    @TempDir
    Path models;

    @Test
    void refusedAllocationsGiveOutOfMemoryErrorWhereDocumented() throws Exception {
        // A 240 KB mesh: its body copy (L bytes) is the library's only allocation of L bytes or more; the text
        // is decrypted in that copy.
        byte[] file = MeshFiles.encrypt(MeshFiles.document("big", 6500, 5));
        int length = file.length;
        assertTrue(length > 200_000 && length < 300_000, "mesh file of " + length + " bytes");
        Files.write(models.resolve("big.enc"), file);
        String probe = System.getProperty("tessaly.refuseMalloc");
        String then = "then mesh=big failure=null";
        try (ReferenceService service = ReferenceService.start(models)) {
            String base = service.baseUrl();
            // An error body as long: the JVM makes its status message, so the body copy stays the call's only
            // allocation of L bytes or more, and the second one refused is the follow-up's.
            service.respond("/models/gone.enc", 404, "x".repeat(length).getBytes(StandardCharsets.UTF_8), "text/plain");
            // A base URL longer than L (padded by the child): the URL is the call's first allocation of L
            // bytes or more.
            int longBase = length;
            Object[][] cases = {
                // what is refused, base URL padding, call, N-th allocation refused, requests sent, lines
                {"mesh body copy", 0, "mesh big", 1, 1,
                    List.of("callback mesh=null failure=java.lang.OutOfMemoryError", "returned", "refused 1", then)},
                {"the follow-up's body copy (the first load makes no second copy)", 0, "mesh big", 2, 1,
                    List.of("callback mesh=big failure=null", "returned", "refused 0",
                        "then mesh=null failure=java.lang.OutOfMemoryError")},
                {"message of status 404 (none: the JVM makes it)", 0, "mesh gone", 2, 1,
                    List.of("threw java.lang.IllegalStateException", "refused 0",
                        "then mesh=null failure=java.lang.OutOfMemoryError")},
                {"URL of loadRemoteMesh", longBase, "mesh big", 1, 0,
                    List.of("threw java.lang.OutOfMemoryError", "refused 1", then)},
                {"URL of signIn", longBase, "signIn", 1, 0,
                    List.of("threw java.lang.OutOfMemoryError", "refused 1", then)},
                {"nothing (control)", 0, "mesh big", 99, 1,
                    List.of("callback mesh=big failure=null", "returned", "refused 0", then)},
            };
            for (Object[] c : cases) {
                service.clearRequests();
                List<String> command = List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                        "-Xcheck:jni", "-cp", jarOf(AllocationChild.class) + File.pathSeparator + jarOf(Mesh.class),
                        AllocationChild.class.getName(), System.getProperty("tessaly.library"), probe,
                        base, c[1].toString(), (String) c[2], "big");
                ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
                String preload = System.getenv("LD_PRELOAD"); // the sanitizer runtimes, if any, stay first
                builder.environment().put("LD_PRELOAD", preload == null || preload.isEmpty() ? probe : preload + ":" + probe);
                builder.environment().put("TESSALY_REFUSE_AT_LEAST", Integer.toString(length));
                builder.environment().put("TESSALY_REFUSE_NTH", c[3].toString());
                Process child = builder.start();
                String out = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
                assertTrue(child.waitFor(60, TimeUnit.SECONDS), c[0] + ": child still running");
                assertEquals(0, child.exitValue(), c[0] + ":\n" + out);
                assertFalse(Pattern.compile(System.getProperty("tessaly.jniFail", "WARNING")).matcher(out).find(),
                        c[0] + ":\n" + out);
                assertEquals(c[5], out.lines().toList(), c[0].toString());
                // The follow-up load is the child's last request; before it, only what the call sent.
                assertEquals((int) c[4] + 1, service.requestCount(), c[0] + ": requests");
            }
        }
    }

    private static String jarOf(Class<?> c) throws Exception {
        return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
    }
}
