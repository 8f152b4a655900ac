package quenby.tessaly.api.asset;

import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;

import net.morrow.resources.ResourceLocation;
import quenby.tessaly.api.client.model.Mesh;

/**
 * Stands for the game's asset loader. The library hands it the decrypted mesh document untouched; its format
 * is the game's own. This one keeps the text.
 */
public final class JsonAssetLoader {
    private final String document;

    public JsonAssetLoader(InputStream in, ResourceLocation location) {
        try {
            document = new String(in.readAllBytes(), StandardCharsets.UTF_8);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    public Mesh loadMesh(boolean validate) {
        if (validate && !document.startsWith("{")) {
            throw new IllegalArgumentException("not a mesh document");
        }
        return new Mesh(document);
    }
}
