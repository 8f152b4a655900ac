package tessaly.natives;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.List;
import java.util.Locale;
import java.util.Set;
import java.util.TreeSet;

/** Which of the jar's libraries this machine runs: from os.name, os.arch, the data model and the C library. */
final class Platform {
    private Platform() {
    }

    /** This JVM's platform folder of the jar, or UnsatisfiedLinkError saying why there is none. */
    static String choose(Set<String> has) {
        String osName = System.getProperty("os.name", "");
        String libc = null;
        if (osName.startsWith("Linux")) {
            try {
                libc = libc(Files.readAllLines(Paths.get("/proc/self/maps"), StandardCharsets.ISO_8859_1));
            } catch (IOException | RuntimeException e) {
                // No /proc: not known; a library the C library cannot load then fails in System.load, in its words.
            }
        }
        return choose(osName, System.getProperty("os.arch", ""), System.getProperty("sun.arch.data.model"), libc, has);
    }

    /**
     * The platform folder for a machine (libc: "glibc", "musl", "bionic", "unknown", or null when not known),
     * or UnsatisfiedLinkError naming os.name, os.arch, what was detected and the platforms the jar has.
     * Package-private: the tests give it other machines.
     */
    static String choose(String osName, String osArch, String dataModel, String libc, Set<String> has) {
        String os = osName.toLowerCase(Locale.ROOT);
        String arch = osArch.toLowerCase(Locale.ROOT);
        boolean x64 = arch.equals("amd64") || arch.equals("x86_64");
        boolean arm64 = arch.equals("aarch64") || arch.equals("arm64");
        String platform = null;
        String detected;
        if ("32".equals(dataModel) || arch.matches("x86|i[3-6]86|arm|armv7.*")) {
            detected = "a 32-bit JVM (the libraries are 64-bit)";
        } else if (os.startsWith("linux") && libc != null && !libc.equals("glibc")) {
            detected = "Linux with " + (libc.equals("bionic") ? "Android's bionic" : libc.equals("musl") ? "musl"
                    : "an unknown") + " libc (the libraries need glibc 2.28 or newer)";
        } else if (os.startsWith("linux")) {
            platform = x64 ? "linux-x64" : arm64 ? "linux-aarch64" : null;
            detected = "Linux on " + osArch;
        } else if (os.startsWith("windows")) {
            platform = x64 ? "windows-x64" : null;
            detected = arm64 ? "Windows on ARM with an arm64 JVM (an x64 JVM runs the x64 library)" : "Windows on " + osArch;
        } else if (os.startsWith("mac") || os.startsWith("darwin")) {
            platform = x64 || arm64 ? "macos" : null;
            detected = "macOS on " + osArch;
        } else {
            detected = "an operating system without a library";
        }
        if (platform != null && has.contains(platform)) {
            return platform;
        }
        if (platform != null) {
            detected = platform + ", which this jar does not hold";
        }
        throw new UnsatisfiedLinkError("Tessaly natives: no library for this machine: os.name=" + osName + ", os.arch="
                + osArch + ", detected " + detected + "; this jar has "
                + (has.isEmpty() ? "none" : String.join(", ", new TreeSet<>(has))));
    }

    /**
     * The C library mapped into a process, from the lines of its memory map (/proc/PID/maps): glibc's libc.so.6,
     * musl's loader (also its libc) or libc.musl, Android's bionic (under /apex or /system); "unknown" when the
     * map names none of them. Package-private: tested.
     */
    static String libc(List<String> maps) {
        for (String line : maps) {
            // A file name of the map, from its first '/': no regular expression per line, which costs at start-up.
            String file = line.substring(Math.max(0, line.indexOf('/')));
            String name = file.substring(file.lastIndexOf('/') + 1);
            if (name.startsWith("libc.so.6") || name.startsWith("libc-2.")) {
                return "glibc";
            }
            if (name.startsWith("ld-musl-") || name.startsWith("libc.musl-")) {
                return "musl";
            }
            if (name.startsWith("libc.so") && (file.contains("/bionic/") || file.startsWith("/system/lib"))) {
                return "bionic";
            }
        }
        return "unknown";
    }
}
