package tessaly.bench;

import java.io.IOException;
import java.lang.invoke.MethodHandles;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * What NativeLoader.load costs a game at start-up over a bare System.load of the same file, each measured
 * in-process around the one call in a fresh JVM (its first class loading, and the SHA-256 running interpreted,
 * included): warm (the cache holds the copy), cold (an empty cache). Prints each median, the ratios, the
 * milliseconds over System.load, and where a warm load's time goes (the loader's own timed decisions).
 *
 *   LoaderBench NATIVES_JAR LIBRARY [RUNS]
 */
public final class LoaderBench {
    private LoaderBench() {
    }

    public static void main(String[] args) throws Exception {
        if (args[0].equals("child")) {
            long start = System.nanoTime();
            if (args[1].equals("bare")) {
                System.load(args[2]);
            } else {
                tessaly.natives.NativeLoader.load(MethodHandles.lookup());
            }
            System.out.println("ms=" + (System.nanoTime() - start) / 1e6);
            return;
        }
        Path jar = Path.of(args[0]);
        String library = args[1];
        int runs = args.length > 2 ? Integer.parseInt(args[2]) : 9;
        Path work = Files.createTempDirectory("tessaly-loader-bench-");
        Path warmCache = work.resolve("warm");
        child(jar, "load", library, warmCache, false);
        double[] bare = new double[runs];
        double[] warm = new double[runs];
        double[] cold = new double[runs];
        for (int i = 0; i < runs; i++) {
            bare[i] = time(child(jar, "bare", library, warmCache, false));
            warm[i] = time(child(jar, "load", library, warmCache, false));
            cold[i] = time(child(jar, "load", library, work.resolve("cold-" + i), false));
        }
        double b = median(bare);
        double w = median(warm);
        double c = median(cold);
        System.out.printf("System.load %.1f ms; load() warm %.1f ms (%.1fx, +%.1f ms), cold %.1f ms (%.1fx, +%.1f ms);"
                + " medians of %d fresh JVMs each%n", b, w, w / b, w - b, c, c / b, c - b, runs);
        System.out.println("where a warm load() goes (its debug lines, milliseconds since load began):");
        for (String line : child(jar, "load", library, warmCache, true)) {
            if (line.startsWith("[tessaly-natives")) {
                System.out.println("  " + line);
            }
        }
    }

    private static List<String> child(Path jar, String mode, String library, Path cache, boolean debug)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-cp", jar + java.io.File.pathSeparator + Path.of(LoaderBench.class.getProtectionDomain().getCodeSource()
                        .getLocation().getPath()), "-Dtessaly.natives.cache=" + cache));
        if (debug) {
            command.add("-Dtessaly.natives.debug=true");
        }
        command.addAll(List.of(LoaderBench.class.getName(), "child", mode, library));
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        List<String> out = Arrays.asList(new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).split("\n"));
        if (p.waitFor() != 0) {
            throw new IllegalStateException(String.join("\n", out));
        }
        return out;
    }

    private static double time(List<String> out) {
        return out.stream().filter(l -> l.startsWith("ms=")).mapToDouble(l -> Double.parseDouble(l.substring(3)))
                .findFirst().orElseThrow(() -> new IllegalStateException(String.join("\n", out)));
    }

    private static double median(double[] v) {
        double[] s = v.clone();
        Arrays.sort(s);
        return s[s.length / 2];
    }
}
