package tessaly.natives;

import java.io.*;
import java.lang.invoke.*;
import java.nio.file.*;
import java.util.*;
import java.util.function.*;

/**
 * Loads the Tessaly native library (libTrialworks.so, libSkyrope.dylib, Skyrope.dll) from this jar into the
 * class loader of the host's TessalyServerConnectionHelper. The host calls, once before the first native call,
 * from that class or any class of the same class loader: {@code NativeLoader.load(MethodHandles.lookup());}
 *
 * System.load binds a library to the class loader of the class that calls it, and the JVM looks native methods
 * up only there. Through the caller's Lookup, System.load runs as the caller's class, wherever this class was
 * loaded from.
 *
 * The steps: the platform and its library from the jar's index (Index); the first of the loader's folders that
 * passes its checks (Folders); there a verified copy, one per class loader (Copies); last, the loader's own
 * left-overs removed (CleanUp). Properties: tessaly.natives.library=FILE loads FILE instead, checked against
 * the index unless tessaly.natives.verify=false; tessaly.natives.cache=FOLDER keeps the copies in
 * FOLDER/tessaly-natives; tessaly.natives.debug=true prints each decision to standard error.
 * {@code java -jar} on this jar runs the same steps as a self-check.
 */
public final class NativeLoader {
    public static final String LIBRARY_PROPERTY = "tessaly.natives.library";
    public static final String VERIFY_PROPERTY = "tessaly.natives.verify";
    public static final String CACHE_PROPERTY = "tessaly.natives.cache";
    public static final String DEBUG_PROPERTY = "tessaly.natives.debug";

    /** One load at a time in this JVM, over every copy of these classes: a literal is one object in all loaders. */
    private static final String MONITOR = "tessaly.natives.NativeLoader";
    /** The class loaders this copy of the class has loaded the library into, and the file each got. */
    private static final Map<ClassLoader, Path> LOADED = new WeakHashMap<>();

    private NativeLoader() {
    }

    /**
     * Loads the library into the class loader of caller's class, once per class loader, and returns the file
     * loaded. caller is MethodHandles.lookup() of a class in the class loader of TessalyServerConnectionHelper.
     *
     * @throws UnsatisfiedLinkError no library for this machine, or none could be loaded: each refusal named
     * @throws IllegalArgumentException caller is not a full-access Lookup
     */
    public static Path load(MethodHandles.Lookup caller) {
        Objects.requireNonNull(caller, "caller");
        Log log = new Log(Boolean.getBoolean(DEBUG_PROPERTY) ? System.err : null);
        Consumer<String> binder;
        try {
            binder = binder(caller);
        } catch (ReflectiveOperationException e) {
            throw new IllegalArgumentException("NativeLoader.load needs MethodHandles.lookup() of the host's own class"
                    + " (full access), not " + caller, e);
        }
        ClassLoader target = caller.lookupClass().getClassLoader();
        synchronized (MONITOR) {
            Path done = LOADED.get(target);
            if (done == null) {
                done = run(log, binder, "class loader " + target + " of " + caller.lookupClass());
                LOADED.put(target, done);
            }
            return done;
        }
    }

    /** The self-check: the same steps, each decision printed; exit status 0 when the library loaded, else 1. */
    public static void main(String[] args) {
        PrintStream out = System.out;
        out.println("tessaly-natives self-check: java " + System.getProperty("java.version") + " ("
                + System.getProperty("java.vendor") + ", " + System.getProperty("sun.arch.data.model", "?")
                + "-bit) at " + System.getProperty("java.home"));
        int status = 1;
        try {
            synchronized (MONITOR) {
                out.println("self-check: OK, " + run(new Log(out), binder(MethodHandles.lookup()),
                        "the self-check's class loader") + " is loaded");
            }
            status = 0;
        } catch (UnsatisfiedLinkError | RuntimeException | ReflectiveOperationException e) {
            out.println("self-check: FAILED: " + e);
        }
        out.flush();
        System.exit(status);
    }

    /** System.load as caller's class calls it (a caller-sensitive method found through a Lookup runs as its class). */
    private static Consumer<String> binder(MethodHandles.Lookup caller) throws ReflectiveOperationException {
        MethodHandle systemLoad = caller.findStatic(System.class, "load", MethodType.methodType(void.class, String.class));
        // A class, not a lambda: a lambda's first use bootstraps method handles at the game's start.
        return new Consumer<String>() {
            @Override
            public void accept(String file) {
                try {
                    systemLoad.invokeExact(file);
                } catch (RuntimeException | Error e) {
                    throw e;
                } catch (Throwable e) {
                    throw new IllegalStateException(e);
                }
            }
        };
    }

    /** The steps, under MONITOR, with every refusal kept for the final message. */
    private static Path run(Log log, Consumer<String> binder, String into) {
        Index index = Index.read();
        log.say("natives jar " + index.version + " holds " + String.join(", ", index.entries.keySet())
                + "; loading into " + into);
        String explicit = System.getProperty(LIBRARY_PROPERTY, "");
        if (!explicit.isEmpty() && "false".equalsIgnoreCase(System.getProperty(VERIFY_PROPERTY))) {
            log.say("library file " + explicit + " (from " + LIBRARY_PROPERTY + "), not checked against the index ("
                    + VERIFY_PROPERTY + "=false)");
            return Copies.bind(Paths.get(explicit).toAbsolutePath(), binder, log);
        }
        Index.Entry entry = index.entries.get(Index.platform(index.entries.keySet()));
        log.say("platform " + entry.platform + " (os.name=" + System.getProperty("os.name") + ", os.arch="
                + System.getProperty("os.arch") + "): resource " + entry.resource().substring(1) + ", " + entry.size
                + " bytes, SHA-256 " + entry.sha256);
        if (!explicit.isEmpty()) {
            return loadExplicit(index, entry, Paths.get(explicit).toAbsolutePath(), binder, log);
        }
        String folderName = index.version + "-" + entry.sha256.substring(0, 16);
        List<String> refusals = new ArrayList<>();
        for (Path base : Folders.bases(refusals, log)) {
            try {
                Path folder = Folders.trusted(base, folderName, log);
                Path file = Copies.load(folder, entry, binder, log);
                CleanUp.run(folder, entry, log);
                return file;
            } catch (IOException | UnsatisfiedLinkError | RuntimeException e) {
                refusals.add(base.resolve(folderName) + ": " + describe(e));
                log.say("refused " + refusals.get(refusals.size() - 1));
            }
        }
        throw new UnsatisfiedLinkError("Tessaly natives: could not load " + entry.resource().substring(1)
                + " from any folder:\n  " + String.join("\n  ", refusals) + "\n(-D" + DEBUG_PROPERTY
                + "=true prints each step; -D" + CACHE_PROPERTY + "=FOLDER names another folder)");
    }

    /** Loads file when it is this platform's library of the index and lies where no other user can change it. */
    private static Path loadExplicit(Index index, Index.Entry entry, Path file, Consumer<String> binder, Log log) {
        log.say("library file " + file + " (from " + LIBRARY_PROPERTY + ")");
        String hash;
        try {
            file = Folders.trustedFile(file);
            hash = Index.sha256(file);
        } catch (IOException e) {
            throw linkError("Tessaly natives: cannot use " + LIBRARY_PROPERTY + "=" + file + ": " + describe(e), e);
        }
        if (!hash.equals(entry.sha256)) {
            String other = index.entries.values().stream().filter(e -> e.sha256.equals(hash)).map(e -> e.platform)
                    .findFirst().orElse(null);
            throw new UnsatisfiedLinkError("Tessaly natives: " + LIBRARY_PROPERTY + "=" + file + " (SHA-256 " + hash
                    + ") is " + (other != null ? "the " + other + " library" : "no library") + " of natives jar "
                    + index.version + "; this JVM needs its " + entry.platform + " library; -D" + VERIFY_PROPERTY
                    + "=false loads it unchecked");
        }
        log.say(file + ": SHA-256 matches the index's " + entry.platform + " library");
        return Copies.bind(file, binder, log);
    }

    static String describe(Throwable e) {
        return e.getClass().getSimpleName() + (e.getMessage() == null ? "" : ": " + e.getMessage());
    }

    static UnsatisfiedLinkError linkError(String message, Throwable cause) {
        UnsatisfiedLinkError e = new UnsatisfiedLinkError(message);
        e.initCause(cause);
        return e;
    }

    /** Where decisions go (nowhere unless asked), each with the milliseconds since the load began. */
    static final class Log {
        private final PrintStream out;
        private final long start = System.nanoTime();

        Log(PrintStream out) {
            this.out = out;
        }

        void say(String line) {
            if (out != null) {
                out.println("[tessaly-natives +" + (System.nanoTime() - start) / 1_000_000 + " ms] " + line);
                out.flush();
            }
        }
    }
}
