package quenby.tessaly.client.online;

import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.util.function.BiConsumer;

import quenby.tessaly.api.client.model.Mesh;

/**
 * The holder of the seven native methods, as docs/host-developers.md declares them. The build makes a copy in
 * quenby.tessaly.api.client.online, the package Skyrope.dll binds; NativesMod calls the one of this platform.
 */
public final class TessalyServerConnectionHelper {
    /** The client every call sends through. The mod lets go of it when the game unloads the mod. */
    public static HttpClient HTTP_CLIENT = HttpClient.newHttpClient();

    static {
        tessaly.natives.NativeLoader.load(java.lang.invoke.MethodHandles.lookup());
    }

    private TessalyServerConnectionHelper() {
    }

    public static native void autoLogin(String baseUrl, String playerId, String accessToken, String refreshToken,
            String provider, BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void signIn(String baseUrl, String playerId, String loginCode,
            BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void signOut(String baseUrl, String playerId, String accessToken, String refreshToken,
            String provider, BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void getAvailableCosmetics(String baseUrl, String playerId, String accessToken,
            String refreshToken, String provider, BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void saveConfiguration(String baseUrl, String body,
            BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void getPlayerSkinInfo(String baseUrl, String playerId,
            BiConsumer<HttpResponse<String>, Throwable> callback);

    public static native void loadRemoteMesh(String baseUrl, String meshName, BiConsumer<Mesh, Throwable> callback);
}
