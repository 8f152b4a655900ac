package tessaly.host;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.util.Locale;
import java.util.function.BiConsumer;

import quenby.tessaly.api.client.model.Mesh;

/**
 * The native-method holder that this platform's library binds, for the tests, the demo and the
 * benchmarks: {@code quenby.tessaly.client.online.TessalyServerConnectionHelper} for libTrialworks.so and
 * libSkyrope.dylib, its twin in {@code quenby.tessaly.api.client.online} for Skyrope.dll (both in this jar,
 * the second generated from the first at build time). The system property {@code tessaly.holder} names
 * another class. The calls go straight to the holder's native methods (method handles: whatever a native
 * method throws comes out unchanged).
 */
public final class NativeHolder {
    private static final String CLIENT = "quenby.tessaly.client.online.TessalyServerConnectionHelper";
    private static final String WINDOWS = "quenby.tessaly.api.client.online.TessalyServerConnectionHelper";

    private static final Class<?> HOLDER;
    private static final MethodHandle AUTO_LOGIN, SIGN_IN, SIGN_OUT, GET_AVAILABLE_COSMETICS, SAVE_CONFIGURATION,
            GET_PLAYER_SKIN_INFO, LOAD_REMOTE_MESH, GET_CLIENT, SET_CLIENT;

    static {
        try {
            HOLDER = Class.forName(className(), false, NativeHolder.class.getClassLoader());
            MethodHandles.Lookup l = MethodHandles.publicLookup();
            MethodType five = MethodType.methodType(void.class, String.class, String.class, String.class,
                    String.class, String.class, BiConsumer.class);
            MethodType two = MethodType.methodType(void.class, String.class, String.class, BiConsumer.class);
            AUTO_LOGIN = l.findStatic(HOLDER, "autoLogin", five);
            SIGN_IN = l.findStatic(HOLDER, "signIn",
                    MethodType.methodType(void.class, String.class, String.class, String.class, BiConsumer.class));
            SIGN_OUT = l.findStatic(HOLDER, "signOut", five);
            GET_AVAILABLE_COSMETICS = l.findStatic(HOLDER, "getAvailableCosmetics", five);
            SAVE_CONFIGURATION = l.findStatic(HOLDER, "saveConfiguration", two);
            GET_PLAYER_SKIN_INFO = l.findStatic(HOLDER, "getPlayerSkinInfo", two);
            LOAD_REMOTE_MESH = l.findStatic(HOLDER, "loadRemoteMesh", two);
            GET_CLIENT = l.findStaticGetter(HOLDER, "HTTP_CLIENT", HttpClient.class);
            SET_CLIENT = l.findStaticSetter(HOLDER, "HTTP_CLIENT", HttpClient.class);
        } catch (ReflectiveOperationException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    private NativeHolder() {
    }

    /** The holder's class name: tessaly.holder if set, else the one this operating system's library binds. */
    public static String className() {
        String named = System.getProperty("tessaly.holder");
        if (named != null) {
            return named;
        }
        return System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows") ? WINDOWS : CLIENT;
    }

    /** The holder class itself. */
    public static Class<?> holder() {
        return HOLDER;
    }

    public static HttpClient httpClient() {
        try {
            return (HttpClient) GET_CLIENT.invokeExact();
        } catch (Throwable e) {
            throw rethrow(e);
        }
    }

    public static void setHttpClient(HttpClient client) {
        call(SET_CLIENT, client);
    }

    public static void autoLogin(String baseUrl, String playerId, String accessToken, String refreshToken,
            String provider, BiConsumer<HttpResponse<String>, Throwable> callback) {
        call(AUTO_LOGIN, baseUrl, playerId, accessToken, refreshToken, provider, callback);
    }

    public static void signIn(String baseUrl, String playerId, String loginCode,
            BiConsumer<HttpResponse<String>, Throwable> callback) {
        call(SIGN_IN, baseUrl, playerId, loginCode, callback);
    }

    public static void signOut(String baseUrl, String playerId, String accessToken, String refreshToken,
            String provider, BiConsumer<HttpResponse<String>, Throwable> callback) {
        call(SIGN_OUT, baseUrl, playerId, accessToken, refreshToken, provider, callback);
    }

    public static void getAvailableCosmetics(String baseUrl, String playerId, String accessToken,
            String refreshToken, String provider, BiConsumer<HttpResponse<String>, Throwable> callback) {
        call(GET_AVAILABLE_COSMETICS, baseUrl, playerId, accessToken, refreshToken, provider, callback);
    }

    public static void saveConfiguration(String baseUrl, String body,
            BiConsumer<HttpResponse<String>, Throwable> callback) {
        call(SAVE_CONFIGURATION, baseUrl, body, callback);
    }

    public static void getPlayerSkinInfo(String baseUrl, String playerId,
            BiConsumer<HttpResponse<String>, Throwable> callback) {
        call(GET_PLAYER_SKIN_INFO, baseUrl, playerId, callback);
    }

    public static void loadRemoteMesh(String baseUrl, String meshName, BiConsumer<Mesh, Throwable> callback) {
        call(LOAD_REMOTE_MESH, baseUrl, meshName, callback);
    }

    /** Calls a native method; what it throws (only unchecked exceptions) passes through as it is. */
    private static void call(MethodHandle method, Object... args) {
        try {
            method.invokeWithArguments(args);
        } catch (Throwable e) {
            throw rethrow(e);
        }
    }

    private static RuntimeException rethrow(Throwable e) {
        if (e instanceof RuntimeException r) {
            throw r;
        }
        if (e instanceof Error err) {
            throw err;
        }
        throw new IllegalStateException(e);
    }
}
