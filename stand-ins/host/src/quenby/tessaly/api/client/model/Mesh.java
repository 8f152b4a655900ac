package quenby.tessaly.api.client.model;

import java.util.Arrays;

/** A triangle mesh: vertex positions (x, y, z per vertex) and triangle indices into them. */
public final class Mesh {
    private final String name;
    private final float[] positions;
    private final int[] indices;

    public Mesh(String name, float[] positions, int[] indices) {
        if (positions.length % 3 != 0) {
            throw new IllegalArgumentException("positions must hold x, y, z per vertex");
        }
        this.name = name;
        this.positions = positions.clone();
        this.indices = indices.clone();
    }

    public String name() {
        return name;
    }

    public int vertexCount() {
        return positions.length / 3;
    }

    public int triangleCount() {
        return indices.length / 3;
    }

    public float[] positions() {
        return positions.clone();
    }

    public int[] indices() {
        return indices.clone();
    }

    @Override
    public String toString() {
        return "Mesh[" + name + ", " + vertexCount() + " vertices, " + Arrays.toString(indices) + "]";
    }
}
