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
 * included): warm (the cache holds the copy), cold (an empty cache); then in a JVM that has already used what
 * any game's has (lambdas, method handles, regular expressions), so that the loader's own cost shows. Prints
 * each median (wall and the thread's CPU time), the milliseconds over System.load, and where a warm load's time
 * goes (the loader's own timed decisions).
 *
 *   LoaderBench NATIVES_JAR LIBRARY [RUNS]
 */
public final class LoaderBench {
    private LoaderBench() {
    }

    public static void main(String[] args) throws Throwable {
        if (args[0].equals("child")) {
            if (args.length > 3) {
                // What any game's JVM has done long before a mod loads: a lambda, a method handle, a regular
                // expression, a properties file, a file read, a digest.
                Runnable lambda = () -> { };
                lambda.run();
                int abs = (int) MethodHandles.lookup().findStatic(Math.class, "abs",
                        java.lang.invoke.MethodType.methodType(int.class, int.class)).invokeExact(-1);
                new java.util.Properties().load(new java.io.StringReader("a=" + "x".matches("[a-z]+") + abs));
                java.security.MessageDigest.getInstance("SHA-256").digest(Files.readAllBytes(Path.of(args[2])));
            }
            java.lang.management.ThreadMXBean cpu = java.lang.management.ManagementFactory.getThreadMXBean();
            long start = System.nanoTime();
            long startCpu = cpu.getCurrentThreadCpuTime();
            if (args[1].equals("bare")) {
                System.load(args[2]);
            } else {
                tessaly.natives.NativeLoader.load(MethodHandles.lookup());
            }
            System.out.println("ms=" + (System.nanoTime() - start) / 1e6 + " cpu=" + (cpu.getCurrentThreadCpuTime() - startCpu) / 1e6);
            return;
        }
        Path jar = Path.of(args[0]);
        String library = args[1];
        int runs = args.length > 2 ? Integer.parseInt(args[2]) : 9;
        Path work = Files.createTempDirectory("tessaly-loader-bench-");
        Path warmCache = work.resolve("warm");
        child(jar, "load", library, warmCache, false, false);
        String[][] cases = {{"bare", "warm"}, {"load", "warm"}, {"load", "cold"}, {"bare", "game"}, {"load", "game"}};
        double[][] wall = new double[cases.length][runs];
        double[][] cpu = new double[cases.length][runs];
        for (int i = 0; i < runs; i++) {
            for (int c = 0; c < cases.length; c++) {
                Path cache = cases[c][1].equals("cold") ? work.resolve("cold-" + i) : warmCache;
                double[] t = time(child(jar, cases[c][0], library, cache, false, cases[c][1].equals("game")));
                wall[c][i] = t[0];
                cpu[c][i] = t[1];
            }
        }
        String[] names = {"System.load", "load() warm cache", "load() cold cache", "System.load", "load() warm cache"};
        for (int c = 0; c < cases.length; c++) {
            if (c == 0 || c == 3) {
                System.out.println(c == 0 ? "a fresh JVM (the call is the first thing it does):"
                        : "a game's JVM (lambdas, method handles, regular expressions, a digest used before):");
            }
            double w = median(wall[c]);
            double b = median(wall[c < 3 ? 0 : 3]);
            System.out.printf("  %-18s %7.1f ms (thread CPU %6.1f ms)%s%n", names[c], w, median(cpu[c]),
                    c == 0 || c == 3 ? "" : String.format(", %+.1f ms over System.load, %.0fx its time", w - b, w / b));
        }
        System.out.println("medians of " + runs + " JVMs each; where a warm load() goes in a fresh JVM (its debug lines,"
                + " milliseconds since load began):");
        for (String line : child(jar, "load", library, warmCache, true, false)) {
            if (line.startsWith("[tessaly-natives")) {
                System.out.println("  " + line);
            }
        }
    }

    private static List<String> child(Path jar, String mode, String library, Path cache, boolean debug, boolean game)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-cp", jar + java.io.File.pathSeparator + Path.of(LoaderBench.class.getProtectionDomain().getCodeSource()
                        .getLocation().getPath()), "-Dtessaly.natives.cache=" + cache));
        if (debug) {
            command.add("-Dtessaly.natives.debug=true");
        }
        command.addAll(List.of(LoaderBench.class.getName(), "child", mode, library));
        if (game) {
            command.add("game");
        }
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        List<String> out = Arrays.asList(new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).split("\n"));
        if (p.waitFor() != 0) {
            throw new IllegalStateException(String.join("\n", out));
        }
        return out;
    }

    /** The child's wall and thread CPU milliseconds. */
    private static double[] time(List<String> out) {
        String line = out.stream().filter(l -> l.startsWith("ms=")).findFirst()
                .orElseThrow(() -> new IllegalStateException(String.join("\n", out)));
        String[] f = line.split(" ");
        return new double[] {Double.parseDouble(f[0].substring(3)), Double.parseDouble(f[1].substring(4))};
    }

    private static double median(double[] v) {
        double[] s = v.clone();
        Arrays.sort(s);
        return s[s.length / 2];
    }
}
