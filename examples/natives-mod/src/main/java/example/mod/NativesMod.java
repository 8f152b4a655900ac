package example.mod;

import java.net.http.HttpResponse;
import java.util.function.BiConsumer;

import quenby.tessaly.api.client.model.Mesh;

/**
 * The mod's one way to the online calls on every platform: Skyrope.dll binds the holder in
 * quenby.tessaly.api.client.online, the other libraries the one in quenby.tessaly.client.online. Only the
 * class of this platform is ever loaded (its static initialiser loads the library).
 */
public final class NativesMod {
    static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");

    private NativesMod() {
    }

    public static void signIn(String baseUrl, String playerId, String code,
            BiConsumer<HttpResponse<String>, Throwable> callback) {
        if (WINDOWS) {
            quenby.tessaly.api.client.online.TessalyServerConnectionHelper.signIn(baseUrl, playerId, code, callback);
        } else {
            quenby.tessaly.client.online.TessalyServerConnectionHelper.signIn(baseUrl, playerId, code, callback);
        }
    }

    public static void autoLogin(String baseUrl, String playerId, String accessToken, String refreshToken,
            String provider, BiConsumer<HttpResponse<String>, Throwable> callback) {
        if (WINDOWS) {
            quenby.tessaly.api.client.online.TessalyServerConnectionHelper.autoLogin(baseUrl, playerId, accessToken,
                    refreshToken, provider, callback);
        } else {
            quenby.tessaly.client.online.TessalyServerConnectionHelper.autoLogin(baseUrl, playerId, accessToken,
                    refreshToken, provider, callback);
        }
    }

    public static void signOut(String baseUrl, String playerId, String accessToken, String refreshToken,
            String provider, BiConsumer<HttpResponse<String>, Throwable> callback) {
        if (WINDOWS) {
            quenby.tessaly.api.client.online.TessalyServerConnectionHelper.signOut(baseUrl, playerId, accessToken,
                    refreshToken, provider, callback);
        } else {
            quenby.tessaly.client.online.TessalyServerConnectionHelper.signOut(baseUrl, playerId, accessToken,
                    refreshToken, provider, callback);
        }
    }

    public static void getAvailableCosmetics(String baseUrl, String playerId, String accessToken, String refreshToken,
            String provider, BiConsumer<HttpResponse<String>, Throwable> callback) {
        if (WINDOWS) {
            quenby.tessaly.api.client.online.TessalyServerConnectionHelper.getAvailableCosmetics(baseUrl, playerId,
                    accessToken, refreshToken, provider, callback);
        } else {
            quenby.tessaly.client.online.TessalyServerConnectionHelper.getAvailableCosmetics(baseUrl, playerId,
                    accessToken, refreshToken, provider, callback);
        }
    }

    public static void saveConfiguration(String baseUrl, String body,
            BiConsumer<HttpResponse<String>, Throwable> callback) {
        if (WINDOWS) {
            quenby.tessaly.api.client.online.TessalyServerConnectionHelper.saveConfiguration(baseUrl, body, callback);
        } else {
            quenby.tessaly.client.online.TessalyServerConnectionHelper.saveConfiguration(baseUrl, body, callback);
        }
    }

    public static void getPlayerSkinInfo(String baseUrl, String playerId,
            BiConsumer<HttpResponse<String>, Throwable> callback) {
        if (WINDOWS) {
            quenby.tessaly.api.client.online.TessalyServerConnectionHelper.getPlayerSkinInfo(baseUrl, playerId, callback);
        } else {
            quenby.tessaly.client.online.TessalyServerConnectionHelper.getPlayerSkinInfo(baseUrl, playerId, callback);
        }
    }

    public static void loadRemoteMesh(String baseUrl, String meshName, BiConsumer<Mesh, Throwable> callback) {
        if (WINDOWS) {
            quenby.tessaly.api.client.online.TessalyServerConnectionHelper.loadRemoteMesh(baseUrl, meshName, callback);
        } else {
            quenby.tessaly.client.online.TessalyServerConnectionHelper.loadRemoteMesh(baseUrl, meshName, callback);
        }
    }

    /** What the mod does when the game unloads it: lets go of the client, so the mod's class loader can go. */
    public static void unload() {
        if (WINDOWS) {
            quenby.tessaly.api.client.online.TessalyServerConnectionHelper.HTTP_CLIENT = null;
        } else {
            quenby.tessaly.client.online.TessalyServerConnectionHelper.HTTP_CLIENT = null;
        }
    }
}
