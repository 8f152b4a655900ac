package quenby.tessaly.api.client.model;

/** Stands for the game's mesh type: here, the document it was loaded from. */
public final class Mesh {
    private final String document;

    public Mesh(String document) {
        this.document = document;
    }

    public String document() {
        return document;
    }
}
